// How fwimage's text leaves the process where a console's code page may lack
// characters that UTF-8 holds (Windows): the switch that asks for UTF-8
// whatever the console, the form each standard stream takes, and the hint
// given when a code page lacks a character.
#pragma once

#include <string>
#include <vector>

// Takes every "--utf8" before "--" out of args, so that no command's options
// need to know it. True when there was one, or when the environment
// variable FWIMAGE_UTF8 (environmentValue, null when unset) is "1".
bool TakeUtf8Switch(std::vector<std::string>& args, const char* environmentValue);

enum class TTextForm {
    Console,   // characters, through the console's wide call
    Utf8,      // UTF-8 bytes as they are, LF line ends
    CodePage,  // the console's output code page, CR LF line ends
};

// The form of a standard stream. consoleCodePage: the output code page of
// the process's console, 0 without one. utf8: the switch, or JSON.
TTextForm TextForm(bool isConsole, unsigned consoleCodePage, bool utf8);

// Told once on the error output when a line had a character that codePage lacks.
std::string Utf8Hint(unsigned codePage);

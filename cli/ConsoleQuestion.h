// The download's question to the person at the console.
#pragma once

#include <string_view>

// " Загрузить программу ? " as the window asks it, then the choice.
inline constexpr std::string_view kConsoleQuestionSuffix = " [y/N] ";

// "y", "yes", "д", "да" in any letter case, blanks around allowed.
bool IsYesAnswer(std::string_view utf8);

// Windows: whether standard input is a console to ask on, and whether
// standard output is one to redraw a progress line on.
bool InputIsConsole();
bool OutputIsConsole();

// Cut: the read ended without a line (Ctrl+C, the console gone, the input
// ended); the question's line is ended then.
enum class TAnswer { Yes, No, Cut };

// Windows: asks on the console itself, whatever standard output and error
// are, and reads the answer from standard input.
TAnswer AskOnConsole(std::string_view question);

// Windows: shows the lines and the prompt on the console itself and waits
// for a line; false when the read was cut instead.
bool PromptOnConsole(std::string_view linesAndPrompt);

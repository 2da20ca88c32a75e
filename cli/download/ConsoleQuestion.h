// The download's question to the person at the console.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// " Загрузить программу ? " as the window asks it, then the choice.
// д (or y) for yes; No, the capital, is what Enter alone answers.
inline constexpr std::string_view kConsoleQuestionSuffix = " [д/Н] ";

// An answer whose first letter is д or y, in either case, blanks before it
// allowed; anything else is no.
bool IsYesAnswer(std::string_view utf8);

// A line of Ctrl+Z alone: the console's end of input, typed.
bool IsEndOfInput(std::string_view line);

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
// for a line; false when the read was cut instead or the line ends the input.
bool PromptOnConsole(std::string_view linesAndPrompt);

// Windows: the same, giving the line typed with its line end; none when the
// read was cut.
std::optional<std::string> LineOnConsole(std::string_view linesAndPrompt);

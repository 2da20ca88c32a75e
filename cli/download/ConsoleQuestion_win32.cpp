// The question goes to CONOUT$, the console itself: standard output may be a
// file that a script reads, and a question there would wait unseen.
#include "download/ConsoleQuestion.h"

#include <windows.h>

#include <optional>
#include <string>

#include "runtime/Utf16.h"

namespace {

// The console's screen, or standard error when there is none to open.
class TConsoleScreen {
public:
    TConsoleScreen()
        : handle_(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~TConsoleScreen() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    TConsoleScreen(const TConsoleScreen&) = delete;
    TConsoleScreen& operator=(const TConsoleScreen&) = delete;

    void Write(std::string_view utf8) const {
        DWORD done = 0;
        if (handle_ == INVALID_HANDLE_VALUE) {
            WriteFile(GetStdHandle(STD_ERROR_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &done,
                      nullptr);
            return;
        }
        const std::wstring wide = rt::Utf8ToUtf16(utf8);
        WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
    }

private:
    HANDLE handle_;
};

// One line typed on the console, UTF-8, with its line end; without one when
// the read ended otherwise: Ctrl+C (ReadConsoleW gives up before the control
// handler has run on a thread of its own), the console gone, its input ended.
std::string ReadConsoleLine() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring line;
    wchar_t buffer[256];
    DWORD count = 0;
    while (line.find(L'\n') == std::wstring::npos &&
           ReadConsoleW(input, buffer, sizeof buffer / sizeof buffer[0], &count, nullptr) && count > 0)
        line.append(buffer, count);
    return rt::Utf16ToUtf8(line);
}

bool StdHandleIsConsole(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    DWORD mode;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

}  // namespace

bool InputIsConsole() {
    return StdHandleIsConsole(STD_INPUT_HANDLE);
}

bool OutputIsConsole() {
    return StdHandleIsConsole(STD_OUTPUT_HANDLE);
}

namespace {

// The line typed after the prompt; none when the read was cut.
std::optional<std::string> Prompt(std::string_view prompt) {
    const TConsoleScreen screen;
    screen.Write(prompt);
    const std::string answer = ReadConsoleLine();
    if (answer.find('\n') != std::string::npos) return answer;
    // What is told next starts on a line of its own.
    screen.Write("\n");
    return std::nullopt;
}

}  // namespace

TAnswer AskOnConsole(std::string_view question) {
    const std::optional<std::string> answer = Prompt(std::string(question).append(kConsoleQuestionSuffix));
    if (!answer) return TAnswer::Cut;
    return IsYesAnswer(*answer) ? TAnswer::Yes : TAnswer::No;
}

bool PromptOnConsole(std::string_view linesAndPrompt) {
    const std::optional<std::string> line = Prompt(linesAndPrompt);
    return line && !IsEndOfInput(*line);
}

std::optional<std::string> LineOnConsole(std::string_view linesAndPrompt) {
    return Prompt(linesAndPrompt);
}

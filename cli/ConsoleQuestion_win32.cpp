// The question goes to CONOUT$, the console itself: standard output may be a
// file that a script reads, and a question there would wait unseen.
#include "ConsoleQuestion.h"

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

// One line typed on the console, UTF-8; empty at its end or on a failure.
// None when Ctrl+C cut the read short: ReadConsoleW then returns at once with
// nothing read and ERROR_OPERATION_ABORTED, while the control handler has yet
// to run on a thread of its own; that is no empty answer.
std::optional<std::string> ReadConsoleLine() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring line;
    wchar_t buffer[256];
    while (line.find(L'\n') == std::wstring::npos) {
        DWORD count = 0;
        // A successful read leaves the last error as it was.
        SetLastError(ERROR_SUCCESS);
        if (ReadConsoleW(input, buffer, sizeof buffer / sizeof buffer[0], &count, nullptr) && count > 0) {
            line.append(buffer, count);
            continue;
        }
        if (GetLastError() == ERROR_OPERATION_ABORTED) return std::nullopt;
        break;
    }
    return rt::Utf16ToUtf8(line);
}

}  // namespace

bool InputIsConsole() {
    const HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

TAnswer AskOnConsole(std::string_view question) {
    const TConsoleScreen screen;
    screen.Write(std::string(question).append(kConsoleQuestionSuffix));
    const std::optional<std::string> answer = ReadConsoleLine();
    if (!answer) {
        // What is told next starts on a line of its own.
        screen.Write("\n");
        return TAnswer::Interrupted;
    }
    return IsYesAnswer(*answer) ? TAnswer::Yes : TAnswer::No;
}

// fwimage download on Windows: the console's question, Ctrl+C held while the
// library works, the library loaded at run time, the worker's transfer on a
// thread of its own while this thread polls and draws the progress line.
#include "DownloadCommand.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "ConsoleDownload.h"
#include "FwimageMain.h"
#include "LoadedDevice.h"
#include "runtime/Display.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"
#include "runtime/Utf16.h"

namespace {

constexpr std::string_view kNoTerminalLine =
    "Not downloading: there is no console to ask on (standard input is not a terminal); add --yes to "
    "download without asking";
constexpr std::string_view kEmptyLine = "Not downloading: the image is empty";
constexpr std::string_view kInterruptedLine = "Interrupted: nothing was sent to the instrument";
constexpr std::string_view kHeldLine =
    "Ctrl+C: the download finishes first, so that the instrument is not left half written; fwimage "
    "ends after it";

// Between the transfer and the polling.
constexpr DWORD kPollPauseMs = 10;

bool IsConsole(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    DWORD mode;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

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

std::string UtcNow() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    return text;
}

// The production log: opened for appending before anything else happens, so
// that a log that cannot be written stops the command before the library.
class TDownloadLog {
public:
    ~TDownloadLog() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }

    void Open(const std::string& fileName) {
        name_ = fileName;
        // Append-only access: every write lands at the end, even with other
        // processes appending to the same file.
        handle_ = CreateFileW(rt::Utf8ToUtf16(fileName).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            throw rt::EFCreateError(rt::ExpandFileName(fileName), rt::SysErrorMessage(code));
        }
    }

    // Tells a failure on err: the outcome's exit code stays that of the download.
    void Append(const std::string& line, std::ostream& err) noexcept {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        DWORD written = 0;
        if (!WriteFile(handle_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
            written != line.size() || !FlushFileBuffers(handle_)) {
            const DWORD code = GetLastError();
            try {
                err << rt::FailureDisplayText("Cannot write the log file \"" + rt::ExpandFileName(name_) +
                                              "\": " + rt::SysErrorMessage(code))
                    << '\n';
                err.flush();
            } catch (...) {
            }
        }
    }

private:
    std::string name_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Ctrl+C, Ctrl+Break and closing the console. Before the library is entered
// they end the command at once; from then on Ctrl+C is held until the
// outcome is told, and a close waits for it (as long as the system lets it).
class TConsoleControl {
public:
    static TConsoleControl& Instance() {
        static TConsoleControl control;
        return control;
    }

    // interrupted tells a command ended before the library; closed records a
    // download that the system may cut short once the console is closed.
    void Install(std::function<void()> interrupted, std::function<void()> closed) {
        std::lock_guard<std::mutex> guard(lock_);
        interrupted_ = std::move(interrupted);
        closed_ = std::move(closed);
        inLibrary_ = false;
        done_ = false;
        held_ = false;
        if (finished_ == nullptr) finished_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ResetEvent(finished_);
        SetConsoleCtrlHandler(OnControl, TRUE);
    }

    // From here on nothing interrupts: the next step is the library's.
    void EnterLibrary() {
        std::lock_guard<std::mutex> guard(lock_);
        inLibrary_ = true;
    }

    // Ctrl+C cut the question's read short. The handler may run before or
    // after this, on its own thread: whichever comes first ends the command,
    // the other never returns.
    [[noreturn]] void Interrupt() {
        std::lock_guard<std::mutex> guard(lock_);
        EndInterrupted();
    }

    // A Ctrl+C held since the last call.
    bool TakeHeld() { return held_.exchange(false); }

    // The outcome is known: Ctrl+C changes nothing any more.
    void Conclude() {
        std::lock_guard<std::mutex> guard(lock_);
        done_ = true;
        interrupted_ = nullptr;
        closed_ = nullptr;
    }

    // The outcome has been told and logged: a closing console may go on.
    void Uninstall() {
        Conclude();
        SetEvent(finished_);
        SetConsoleCtrlHandler(OnControl, FALSE);
    }

private:
    static BOOL WINAPI OnControl(DWORD type) {
        try {
            return Instance().Handle(type);
        } catch (...) {
            return TRUE;
        }
    }

    // Under the lock: the library cannot be entered meanwhile.
    [[noreturn]] void EndInterrupted() {
        if (interrupted_) interrupted_();
        ExitProcess(kExitInterrupted);
    }

    BOOL Handle(DWORD type) {
        std::unique_lock<std::mutex> guard(lock_);
        if (!done_ && !inLibrary_) EndInterrupted();
        if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
            if (!done_) held_ = true;
            return TRUE;
        }
        // The console is closing (or the session ends): the system ends the
        // process about 5 s after this event, whatever this does. The record
        // goes first, so that a download cut then is in the log; then wait for
        // the outcome's lines, which follow it when the library ends in time.
        if (closed_) {
            closed_();
            closed_ = nullptr;
        }
        const HANDLE finished = finished_;
        guard.unlock();
        WaitForSingleObject(finished, INFINITE);
        return TRUE;
    }

    std::mutex lock_;
    std::function<void()> interrupted_;
    std::function<void()> closed_;
    bool inLibrary_ = false;
    bool done_ = false;
    std::atomic<bool> held_{false};
    HANDLE finished_ = nullptr;
};

struct TTransferJob {
    TDevice& device;
    const TImageInfo& info;
    TDownloadSession& session;
};

DWORD WINAPI TransferThread(LPVOID job) {
    // Transfer and Finish are noexcept: nothing crosses the thread's start.
    auto& j = *static_cast<TTransferJob*>(job);
    j.session.Finish(j.session.Transfer(j.device, j.info));
    return 0;
}

// The steps from the open image to the outcome. tell(outcome name, exit code)
// writes the log's line.
int Download(const TDownloadRequest& request, const TImageInfo& info, std::ostream& out, std::ostream& err,
             const std::function<void(std::string_view, int)>& tell) {
    TConsoleControl& control = TConsoleControl::Instance();
    const auto conclude = [&](const TOutcomeReport& report) {
        // First: a Ctrl+C from now on must not tell a second outcome.
        control.Conclude();
        (report.ToError ? err : out) << report.Line << '\n';
        out.flush();
        err.flush();
        tell(report.LogName, report.ExitCode);
        return report.ExitCode;
    };

    // The window sends an empty image as it is; a script that does has
    // surely been given the wrong file.
    if (info.Size == 0) return conclude({kEmptyLine, true, kExitFailed, "empty"});
    if (!request.Yes) {
        if (!IsConsole(STD_INPUT_HANDLE)) return conclude({kNoTerminalLine, true, kExitUsage, "not-asked"});
        out << kConfirmDownloadBox.Text << kConsoleQuestionSuffix;
        out.flush();
        const std::optional<std::string> answer = ReadConsoleLine();
        if (!answer) control.Interrupt();
        if (!IsYesAnswer(*answer)) return conclude(ReportOf(TDownloadOutcome::Declined));
    }

    std::unique_ptr<TDevice> device;
    try {
        device = LoadDevice();
    } catch (...) {
        return conclude({FailureText(std::current_exception()), true, kExitFailed, "no-library"});
    }

    control.EnterLibrary();
    TDownloadSession session;
    TTransferJob job{*device, info, session};
    HANDLE thread = nullptr;
    try {
        session.Start([&] {
            DWORD threadId = 0;
            thread = CreateThread(nullptr, 0, TransferThread, &job, 0, &threadId);
            if (thread != nullptr) return;
            const DWORD code = GetLastError();
            throw rt::EOSError(code, rt::SysErrorMessage(code));
        });
    } catch (const rt::EOSError& e) {
        return conclude({rt::FailureDisplayText(e.Message()), true, kExitFailed, "failed"});
    }

    TConsoleProgress view(out, IsConsole(STD_OUTPUT_HANDLE));
    // Told once: a second Ctrl+C changes nothing.
    bool heldTold = false;
    const auto pump = [&] {
        if (control.TakeHeld() && !heldTold) {
            heldTold = true;
            view.Break();
            err << kHeldLine << '\n';
            err.flush();
        }
    };
    view.OnWait = [&] {
        pump();
        WaitForSingleObject(thread, kPollPauseMs);
        if (!request.Quiet) view.Update(std::chrono::steady_clock::now().time_since_epoch());
        return true;
    };
    session.Watch(*device, view);
    // The return to the application comes after the transfer.
    const TDownloadOutcome outcome = *session.WaitEnd(view);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    view.Finish();
    pump();

    return conclude(ReportOf(outcome));
}

}  // namespace

int RunDownloadCommand(const TDownloadRequest& request, std::ostream& out, std::ostream& err) {
    TDownloadLog log;
    TImageInfo info;
    std::string fullPath;
    std::atomic<bool> opened{false};
    const auto tell = [&](std::string_view outcome, int code) {
        log.Append(DownloadLogLine(UtcNow(), fullPath, info, outcome, code), err);
    };
    TConsoleControl& control = TConsoleControl::Instance();
    control.Install(
        [&] {
            err << kInterruptedLine << '\n';
            err.flush();
            if (opened) tell("interrupted", kExitInterrupted);
        },
        [&] { tell("closed", kExitInterrupted); });
    // Declared last, so it is done first: the log and the image outlive it.
    struct TUninstallOnReturn {
        TConsoleControl& control;
        ~TUninstallOnReturn() { control.Uninstall(); }
    } uninstallOnReturn{control};

    try {
        if (request.LogFile) log.Open(*request.LogFile);
        fullPath = rt::ExpandFileName(request.Image);
        OpenCommandImage(request.Image, info);
    } catch (...) {
        control.Conclude();
        err << FailureText(std::current_exception()) << '\n';
        return kExitFailed;
    }
    opened = true;
    if (!request.Quiet)
        for (const std::string& line : SummaryLines(request.Image, info)) out << line << '\n';
    return Download(request, info, out, err, tell);
}

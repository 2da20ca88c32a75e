// The transfer of fwimage download on Windows: on a thread of its own while
// this thread watches the library and whatever may stop it (ConsoleControl).
#include "DownloadTransfer.h"

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>

#include "ConsoleProgress.h"
#include "ConsoleQuestion.h"
#include "Download.h"
#include "runtime/Display.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"

namespace {

constexpr std::string_view kHeldLine =
    "Ctrl+C: the download finishes first, so that the instrument is not left half written; fwimage ends "
    "after it. A third Ctrl+C ends it without waiting for the library, which may leave the instrument in "
    "its loader mode";
constexpr int kAbandoningPresses = 3;

// Between two readings of the library.
constexpr DWORD kPollPauseMs = 10;

std::chrono::steady_clock::duration Now() {
    return std::chrono::steady_clock::now().time_since_epoch();
}

struct TTransferJob {
    TDownloadSession& session;
    TDevice& device;
    const TImageInfo& info;
    TConsoleControl& control;
};

DWORD WINAPI TransferThread(LPVOID job) {
    // Transfer and Finish are noexcept: nothing crosses the thread's start.
    auto& j = *static_cast<TTransferJob*>(job);
    j.control.OnTransferThread();
    j.session.Finish(j.session.Transfer(j.device, j.info));
    return 0;
}

// This thread's side of a transfer: the progress, the held Ctrl+C, and the
// reasons to stop watching a library that has not ended.
class TConsoleWatch final : public TDownloadEvents {
public:
    TConsoleWatch(const TDownloadSession& session, TConsoleControl& control, TConsoleProgress* progress,
                  std::ostream& err, HANDLE thread, std::optional<unsigned> timeout)
        : session_(session),
          control_(control),
          progress_(progress),
          err_(err),
          thread_(thread),
          timeout_(timeout),
          start_(std::chrono::steady_clock::now()) {}

    void Searching() override {
        if (progress_) progress_->Searching(Now());
    }
    void Loading(uint16_t percent) override {
        if (progress_) progress_->Loading(percent, Now());
    }
    // The last reading stays until the ending, which knows whether it was delivered.
    void TransferOver() override {}
    bool Wait() override;

    // Set when Wait stopped the watching: the ending and its detail.
    std::optional<TEnding> Stop;
    std::string Detail;
    // Calls when the console has closed meanwhile.
    std::function<void()> OnClosed;

private:
    const TDownloadSession& session_;
    TConsoleControl& control_;
    TConsoleProgress* progress_;
    std::ostream& err_;
    HANDLE thread_;
    std::optional<unsigned> timeout_;
    std::chrono::steady_clock::time_point start_;
    bool heldTold_ = false;
};

bool TConsoleWatch::Wait() {
    if (progress_) progress_->Tick(Now());
    const HANDLE wakers[2] = {control_.WakeEvent(), thread_};
    // A transfer that has ended is told as it ended, whatever came meanwhile.
    if (WaitForMultipleObjects(2, wakers, FALSE, kPollPauseMs) == WAIT_OBJECT_0 + 1) return true;
    if (const std::optional<uint32_t> code = control_.Crash()) {
        Stop = CrashEndingOf(session_.Step());
        Detail = ExceptionCodeText(*code);
        return false;
    }
    if (control_.Presses() >= kAbandoningPresses) {
        Stop = TEnding::Abandoned;
        return false;
    }
    if (control_.Presses() > 0 && !heldTold_) {
        heldTold_ = true;
        if (progress_) progress_->Break();
        err_ << kHeldLine << '\n';
        err_.flush();
    }
    if (control_.TakeClosed() && OnClosed) OnClosed();
    if (timeout_ && std::chrono::steady_clock::now() - start_ >= std::chrono::seconds(*timeout_)) {
        Stop = TEnding::TimedOut;
        Detail = std::to_string(*timeout_);
        return false;
    }
    return true;
}

// For an ending that leaves the library working: the process goes at once,
// with no unwinding under the transfer's feet and nothing more of the
// library run (its detach included).
[[noreturn]] void EndWithoutTheLibrary(int exitCode) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    for (;;) Sleep(INFINITE);
}

}  // namespace

int RunTransfer(const TDownloadRequest& request, TDevice& device, const TImageInfo& info,
                TConsoleControl& control, const TEndingSink& sink, const std::function<int(int)>& lastWords) {
    TDownloadSession session;
    TTransferJob job{session, device, info, control};
    HANDLE thread = nullptr;
    try {
        // A hook that throws ends the session's gate.
        session.Start([&] {
            DWORD threadId = 0;
            thread = CreateThread(nullptr, 0, TransferThread, &job, 0, &threadId);
            if (thread != nullptr) return;
            const DWORD code = GetLastError();
            throw rt::EOSError(code, rt::SysErrorMessage(code));
        });
    } catch (const rt::EOSError& e) {
        control.Conclude();
        return ConcludeDownload(TEnding::NoThread, rt::FailureDisplayText(e.Message()), sink);
    }

    std::optional<TConsoleProgress> progress;
    if (!request.Quiet && sink.Json)
        progress.emplace(*sink.Json, TProgressForm::Json);
    else if (!request.Quiet)
        progress.emplace(sink.Out, OutputIsConsole());
    TConsoleWatch watch(session, control, progress ? &*progress : nullptr, sink.Err, thread,
                        request.TimeoutSeconds);
    // Recorded at once: the system ends the process soon. The outcome's own
    // record follows when the library ends in time.
    watch.OnClosed = [&] { ConcludeDownload(TEnding::Closed, {}, sink); };
    std::optional<TDownloadOutcome> outcome;
    if (session.Watch(device, watch)) outcome = session.WaitEnd(watch);

    TEnding ending;
    std::string detail;
    bool delivered;
    if (outcome) {
        session.WaitIdle();
        CloseHandle(thread);
        ending = EndingOf(*outcome);
        delivered = ending == TEnding::Done || ending == TEnding::ReturnFailed;
    } else {
        ending = watch.Stop.value_or(TEnding::Abandoned);
        detail = watch.Detail;
        delivered = session.Step() == TDownloadStep::ResetToAP;
    }
    control.Conclude();
    if (progress) progress->Finish(delivered);
    const int exitCode = ConcludeDownload(ending, detail, sink);
    if (!outcome) EndWithoutTheLibrary(lastWords(exitCode));
    return exitCode;
}

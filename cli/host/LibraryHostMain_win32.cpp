// The library's process: fwimage.exe in its host mode, which loads DFU.dll,
// runs a unit's steps each time fwimage says so and reports every call.
// fwimage's side is LibraryHostClient_win32.cpp.
#include "host/LibraryHost.h"

#include <windows.h>

#include <memory>
#include <mutex>

#include "host/UniqueHandle.h"
#include "image/ExitCodes.h"
#include "LoadedDevice.h"
#include "runtime/Display.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"

namespace {

HANDLE ReportPipe = INVALID_HANDLE_VALUE;
// The thread that reads DFU_Get_ProcessCount: a crash on it is that call's.
DWORD PollingThread = 0;

void Write(const char* bytes, size_t size) noexcept {
    DWORD written = 0;
    WriteFile(ReportPipe, bytes, static_cast<DWORD>(size), &written, nullptr);
}

void Report(THostReport::TKind kind, TLibraryCall call, uint32_t value) noexcept {
    const auto head = EncodeReportHead(kind, call, value);
    Write(head.data(), head.size());
}

// A crash on any of the host's threads: reported without the heap, whose
// lock the crashed thread may hold, and the host ends with the code.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    Report(THostReport::Crashed,
           GetCurrentThreadId() == PollingThread ? TLibraryCall::ProcessCount : TLibraryCall::None, code);
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

// No crash box holds the station; the flags the host was started with stay.
void NoCrashBoxes() {
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

// Every call reported before it begins and when it returns: what fwimage
// puts a death down to. A step waits for a reading in progress: a library
// whose reading never returns is asked nothing more. The host's filter is
// set again before each call, since the library may have set its own.
class TReportingDevice final : public TDevice {
public:
    explicit TReportingDevice(TDevice& device) : device_(device) {}
    uint32_t ResetToISP(uint32_t arg1, uint32_t arg2) override {
        return Reported(TLibraryCall::ResetToISP, [&] { return device_.ResetToISP(arg1, arg2); });
    }
    uint32_t Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) override {
        return Reported(TLibraryCall::Download, [&] { return device_.Download(data, zero, count, sum); });
    }
    uint32_t ResetToAP() override {
        return Reported(TLibraryCall::ResetToAP, [&] { return device_.ResetToAP(); });
    }
    uint32_t ProcessCount() override {
        std::lock_guard<std::mutex> reading(reading_);
        return Reported(TLibraryCall::ProcessCount, [&] { return device_.ProcessCount(); });
    }

private:
    template <class F>
    uint32_t Reported(TLibraryCall call, F&& f) {
        if (call != TLibraryCall::ProcessCount) {
            const std::lock_guard<std::mutex> readingOver(reading_);
        }
        SetUnhandledExceptionFilter(ReportCrash);
        Report(THostReport::Entered, call, 0);
        const uint32_t result = f();
        Report(THostReport::Returned, call, result);
        return result;
    }
    TDevice& device_;
    std::mutex reading_;
};

constexpr DWORD kPollPauseMs = 10;

// The session's waiting in the host: the pause between readings, and a
// transfer thread that ended without finishing (a library that ended it).
class THostWatch final : public TDownloadEvents {
public:
    THostWatch(const TDownloadSession& session, const HANDLE& thread) : session_(session), thread_(thread) {}
    void Searching() override {}
    void Loading(uint16_t) override {}
    void TransferOver() override {}
    bool Wait() override {
        if (WaitForSingleObject(thread_, kPollPauseMs) != WAIT_OBJECT_0 || !session_.Running()) return true;
        DWORD code = 0;
        GetExitCodeThread(thread_, &code);
        // fwimage knows the step from the call entered last.
        Report(THostReport::ThreadEnded, TLibraryCall::None, code);
        return false;
    }

private:
    const TDownloadSession& session_;
    const HANDLE& thread_;
};

struct TTransferJob {
    TDownloadSession& session;
    TDevice& device;
    const TImageInfo& image;
};

DWORD WINAPI TransferThread(LPVOID job) {
    // Transfer and Finish are noexcept: nothing crosses the thread's start.
    auto& j = *static_cast<TTransferJob*>(job);
    j.session.Finish(j.session.Transfer(j.device, j.image));
    return 0;
}

HANDLE Inherited(uint64_t value) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

void ReportLoadFailed(std::string text) {
    const std::string bytes = EncodeReport({.Kind = THostReport::LoadFailed, .Text = std::move(text)});
    Write(bytes.data(), bytes.size());
}

}  // namespace

int RunLibraryHost(int argc, char** argv) {
    const std::optional<THostLaunch> launch = ParseHostArguments(std::vector<std::string_view>(argv + 1, argv + argc));
    if (!launch) return kExitUsage;
    const TUniqueHandle commands(Inherited(launch->Commands));
    const TUniqueHandle reports(Inherited(launch->Reports));
    const TUniqueHandle section(Inherited(launch->Section));
    ReportPipe = reports.Get();
    PollingThread = GetCurrentThreadId();
    NoCrashBoxes();
    SetUnhandledExceptionFilter(ReportCrash);

    // A copy of its own for the library: one that writes into the image's
    // bytes changes only its pages, as it would in the window.
    TImageInfo image;
    image.Data = static_cast<const uint8_t*>(MapViewOfFile(section.Get(), FILE_MAP_COPY, 0, 0, 0));
    image.Size = launch->Size;
    image.Sum = launch->Sum;
    if (image.Data == nullptr) {
        ReportLoadFailed(rt::SysErrorMessage(GetLastError()));
        return kExitFailed;
    }
    Report(THostReport::Entered, TLibraryCall::Load, 0);
    std::unique_ptr<TDevice> library;
    bool simulated = false;
    try {
        library = LoadDevice(simulated);
    } catch (...) {
        ReportLoadFailed(rt::FailureDisplayText(rt::FailureMessage(std::current_exception())));
        return kExitFailed;
    }
    Report(THostReport::Loaded, TLibraryCall::Load, simulated ? 1 : 0);
    TReportingDevice device(*library);
    TDownloadSession session;
    char command = 0;
    DWORD read = 0;
    // Until the pipe ends: fwimage has no further unit, or has gone. The
    // library is then let go, so that it sees the process detach.
    while (ReadFile(commands.Get(), &command, 1, &read, nullptr) && read == 1) {
        if (DecodeCommand(command) != THostCommand::Go) continue;
        TTransferJob job{session, device, image};
        HANDLE thread = nullptr;
        THostWatch watch(session, thread);
        std::optional<TDownloadOutcome> outcome;
        try {
            outcome = session.Run(
                [&] {
                    thread = CreateThread(nullptr, 0, TransferThread, &job, 0, nullptr);
                    if (thread == nullptr) throw rt::EOSError(GetLastError(), "CreateThread");
                },
                device, watch);
        } catch (...) {
            // No thread, or the library's reading threw: as a crash of the step.
        }
        if (!outcome) {
            // What is left of the library is past trusting: fwimage ends this process.
            for (;;) Sleep(INFINITE);
        }
        session.WaitIdle();
        CloseHandle(thread);
        Report(THostReport::Finished, TLibraryCall::None, static_cast<uint32_t>(*outcome));
    }
    library.reset();
    return kExitDone;
}

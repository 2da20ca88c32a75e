// Both sides of the library's process on Windows: the host mode, which runs
// DFU.dll, and fwimage's view of one host.
#include "host/LibraryHost.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "image/ExitCodes.h"
#include "LoadedDevice.h"
#include "runtime/Display.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"
#include "runtime/Utf16.h"

namespace {

// ---- The host's side ----

HANDLE ReportPipe = INVALID_HANDLE_VALUE;
// The thread that reads DFU_Get_ProcessCount: a crash on it is that call's.
DWORD PollingThread = 0;

void Report(THostReport::TKind kind, THostCall call, uint32_t value, std::string_view text = {}) {
    std::string record(sizeof(THostReport), '\0');
    const THostReport report{kind, call, value};
    std::memcpy(record.data(), &report, sizeof report);
    record += text;
    DWORD written = 0;
    WriteFile(ReportPipe, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

// A crash on any of the host's threads: reported without the heap, whose
// lock the crashed thread may hold, and the host ends with the code.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    const THostCall call = GetCurrentThreadId() == PollingThread ? THostCall::ProcessCount : THostCall::Load;
    const THostReport report{THostReport::Crashed, call, code};
    DWORD written = 0;
    WriteFile(ReportPipe, &report, sizeof report, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Ctrl+C reaches every process on the console: fwimage decides.
BOOL WINAPI IgnoreControl(DWORD type) {
    return type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
}

// No crash box holds the station: neither the system's nor its reporting's.
void NoCrashBoxes() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    using TWerSetFlags = HRESULT(WINAPI*)(DWORD);
    constexpr DWORD kWerNoUi = 0x20;  // WER_FAULT_REPORTING_NO_UI
    if (const HMODULE kernel = GetModuleHandleW(L"kernel32.dll"))
        if (const auto werSetFlags = reinterpret_cast<TWerSetFlags>(
                reinterpret_cast<void*>(GetProcAddress(kernel, "WerSetFlags"))))
            werSetFlags(kWerNoUi);
}

// Every call reported before it begins and when it returns: what fwimage
// puts a death down to. A step waits for a reading in progress: a library
// whose reading never returns is asked nothing more.
class TReportingDevice final : public TDevice {
public:
    explicit TReportingDevice(TDevice& device) : device_(device) {}
    uint32_t ResetToISP(uint32_t arg1, uint32_t arg2) override {
        return Reported(THostCall::ResetToISP, [&] { return device_.ResetToISP(arg1, arg2); });
    }
    uint32_t Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) override {
        return Reported(THostCall::Download, [&] { return device_.Download(data, zero, count, sum); });
    }
    uint32_t ResetToAP() override {
        return Reported(THostCall::ResetToAP, [&] { return device_.ResetToAP(); });
    }
    uint32_t ProcessCount() override {
        std::lock_guard<std::mutex> reading(reading_);
        return Reported(THostCall::ProcessCount, [&] { return device_.ProcessCount(); });
    }

private:
    template <class F>
    uint32_t Reported(THostCall call, F&& f) {
        if (call != THostCall::ProcessCount) {
            const std::lock_guard<std::mutex> readingOver(reading_);
        }
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
        const TDownloadStep step = session_.Step();
        Report(THostReport::ThreadEnded,
               step == TDownloadStep::Download    ? THostCall::Download
               : step == TDownloadStep::ResetToAP ? THostCall::ResetToAP
                                                  : THostCall::ResetToISP,
               code);
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

HANDLE HandleArg(const char* text) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(text, nullptr, 10)));
}

}  // namespace

int RunLibraryHost(int argc, char** argv) {
    if (argc != 7) return kExitUsage;
    const HANDLE commands = HandleArg(argv[2]);
    ReportPipe = HandleArg(argv[3]);
    const HANDLE section = HandleArg(argv[4]);
    const int64_t size = std::strtoll(argv[5], nullptr, 10);
    PollingThread = GetCurrentThreadId();
    NoCrashBoxes();
    SetConsoleCtrlHandler(IgnoreControl, TRUE);
    SetUnhandledExceptionFilter(ReportCrash);

    TImageInfo image;
    image.Data = static_cast<const uint8_t*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0));
    image.Size = size;
    image.Sum = static_cast<uint16_t>(std::strtoul(argv[6], nullptr, 10));
    if (image.Data == nullptr) {
        const DWORD code = GetLastError();
        Report(THostReport::LoadFailed, THostCall::Load, 0, rt::SysErrorMessage(code));
        return kExitFailed;
    }
    Report(THostReport::Entered, THostCall::Load, 0);
    std::unique_ptr<TDevice> library;
    bool simulated = false;
    try {
        library = LoadDevice(simulated);
    } catch (...) {
        const std::string text = rt::FailureDisplayText(rt::FailureMessage(std::current_exception()));
        Report(THostReport::LoadFailed, THostCall::Load, static_cast<uint32_t>(text.size()), text);
        return kExitFailed;
    }
    Report(THostReport::Loaded, THostCall::Load, simulated ? 1 : 0);
    TReportingDevice device(*library);
    TDownloadSession session;
    char command = 0;
    DWORD read = 0;
    // One byte a unit; the pipe breaks when fwimage has gone.
    while (ReadFile(commands, &command, 1, &read, nullptr) && read == 1) {
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
        Report(THostReport::Finished, THostCall::Load, static_cast<uint32_t>(*outcome));
    }
    return kExitDone;
}

// ---- fwimage's side ----

namespace {

constexpr int64_t kSectionPiece = 4 << 20;
// After the host has ended: how long what it wrote may take to arrive.
constexpr DWORD kLastWordsMs = 2000;

[[noreturn]] void ThrowLastError(const char* what) {
    const DWORD code = GetLastError();
    throw rt::EOSError(code, std::string(what) + ": " + rt::SysErrorMessage(code));
}

std::wstring ProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) ThrowLastError("GetModuleFileName");
        if (n < path.size()) return path.substr(0, n);
        path.resize(path.size() * 2);
    }
}

// A library's line in UTF-8: as it is when it is UTF-8, else taken for the
// system's ANSI code page, in which such libraries print.
std::string Utf8Line(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(),
                                            static_cast<int>(line.size()), nullptr, 0) > 0)
        return line;
    std::wstring wide(line.size(), L'\0');
    wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()),
                                                        wide.data(), static_cast<int>(wide.size()))));
    return rt::Utf16ToUtf8(wide);
}

}  // namespace

TImageSection::TImageSection(const TImageInfo& info) : size_(info.Size), sum_(info.Sum) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    // A section has at least a byte: an empty image (--allow-empty) too.
    const uint64_t size = std::max<uint64_t>(static_cast<uint64_t>(info.Size), 1);
    handle_ = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE,
                                 static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr);
    if (handle_ == nullptr) ThrowLastError("CreateFileMapping");
    for (int64_t at = 0; at < info.Size; at += kSectionPiece) {
        const size_t piece = static_cast<size_t>(std::min(kSectionPiece, info.Size - at));
        void* view =
            MapViewOfFile(handle_, FILE_MAP_WRITE, static_cast<DWORD>(static_cast<uint64_t>(at) >> 32),
                          static_cast<DWORD>(at), piece);
        if (view == nullptr) {
            const DWORD code = GetLastError();
            CloseHandle(handle_);
            throw rt::EOSError(code, "MapViewOfFile: " + rt::SysErrorMessage(code));
        }
        std::memcpy(view, info.Data + at, piece);
        UnmapViewOfFile(view);
    }
}

TImageSection::~TImageSection() {
    CloseHandle(handle_);
}

// Reads a pipe on a thread of its own until its writers have gone. Shared
// with the thread, which closes the pipe and its event when it ends.
struct TLibraryHost::TReader {
    HANDLE pipe = nullptr;
    HANDLE news = nullptr;
    HANDLE thread = nullptr;
    std::mutex lock;
    std::string bytes;
    bool ended = false;

    static DWORD WINAPI Run(LPVOID self) {
        const std::shared_ptr<TReader> reader = *static_cast<std::shared_ptr<TReader>*>(self);
        delete static_cast<std::shared_ptr<TReader>*>(self);
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(reader->pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
            std::lock_guard<std::mutex> guard(reader->lock);
            reader->bytes.append(buffer, read);
            SetEvent(reader->news);
        }
        std::lock_guard<std::mutex> guard(reader->lock);
        reader->ended = true;
        SetEvent(reader->news);
        CloseHandle(reader->pipe);
        CloseHandle(reader->news);
        return 0;
    }

    // Starts the thread; the pipe is the reader's from here on.
    static std::shared_ptr<TReader> Start(HANDLE pipe, HANDLE news) {
        auto reader = std::make_shared<TReader>();
        reader->pipe = pipe;
        DuplicateHandle(GetCurrentProcess(), news, GetCurrentProcess(), &reader->news, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        reader->thread = CreateThread(nullptr, 0, Run, new std::shared_ptr<TReader>(reader), 0, nullptr);
        if (reader->thread == nullptr) ThrowLastError("CreateThread");
        return reader;
    }

    // Takes what came so far into to; true once the pipe has ended.
    bool TakeInto(std::string& to) {
        std::lock_guard<std::mutex> guard(lock);
        to += bytes;
        bytes.clear();
        return ended;
    }
};

TLibraryHost::TLibraryHost(const TImageSection& image) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    // The host's ends are inherited; fwimage's stay here, so that the host's
    // death ends the pipes.
    HANDLE ends[3][2] = {};
    for (auto& end : ends) {
        if (!CreatePipe(&end[0], &end[1], &inherit, 0)) {
            const DWORD code = GetLastError();
            for (auto& e : ends)
                for (HANDLE h : e)
                    if (h != nullptr) CloseHandle(h);
            throw rt::EOSError(code, "CreatePipe: " + rt::SysErrorMessage(code));
        }
    }
    const HANDLE commandRead = ends[0][0], reportWrite = ends[1][1], outputWrite = ends[2][1];
    commands_ = ends[0][1];
    const HANDLE reportRead = ends[1][0], outputRead = ends[2][0];
    for (HANDLE own : {commands_, reportRead, outputRead}) SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
    const auto closeTheirs = [&] {
        for (HANDLE theirs : {commandRead, reportWrite, outputWrite}) CloseHandle(theirs);
    };

    std::string args = std::string(" ") + kLibraryHostSwitch;
    for (uint64_t n : {uint64_t(reinterpret_cast<uintptr_t>(commandRead)),
                       uint64_t(reinterpret_cast<uintptr_t>(reportWrite)),
                       uint64_t(reinterpret_cast<uintptr_t>(image.Handle())), uint64_t(image.Size()),
                       uint64_t(image.Sum())})
        args.append(" ").append(std::to_string(n));
    std::wstring line = L"\"" + ProgramPath() + L"\"" + rt::Utf8ToUtf16(args);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outputWrite;
    startup.hStdError = outputWrite;
    PROCESS_INFORMATION process{};
    // A process group of its own: Ctrl+C is ignored from its first instruction.
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process)) {
        const DWORD code = GetLastError();
        closeTheirs();
        for (HANDLE own : {commands_, reportRead, outputRead}) CloseHandle(own);
        throw rt::EOSError(code, rt::SysErrorMessage(code));
    }
    closeTheirs();
    process_ = process.hProcess;
    // In a job that ends it with fwimage, and at its first unhandled
    // exception without a box. Windows 7 cannot put a process of a job (a
    // scheduler's, a service's) into another: the destructor ends it then.
    job_ = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (job_ != nullptr &&
        (!SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
         !AssignProcessToJobObject(job_, process_))) {
        CloseHandle(job_);
        job_ = nullptr;
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);

    news_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    try {
        reports_ = TReader::Start(reportRead, news_);
        output_ = TReader::Start(outputRead, news_);
    } catch (...) {
        End();
        throw;
    }
}

void TLibraryHost::End() {
    if (job_ != nullptr) TerminateJobObject(job_, kExitLibraryLeft);
    TerminateProcess(process_, kExitLibraryLeft);
    WaitForSingleObject(process_, INFINITE);
}

TLibraryHost::~TLibraryHost() {
    End();
    // A process the library started may hold the pipes still.
    for (const auto& reader : {reports_, output_}) {
        if (!reader) continue;
        if (WaitForSingleObject(reader->thread, kLastWordsMs) != WAIT_OBJECT_0)
            CancelSynchronousIo(reader->thread);
        CloseHandle(reader->thread);
    }
    CloseHandle(commands_);
    if (job_ != nullptr) CloseHandle(job_);
    CloseHandle(process_);
    CloseHandle(news_);
}

void TLibraryHost::Drain() {
    reports_->TakeInto(reportBytes_);
    output_->TakeInto(outputBytes_);
    state_.Take(reportBytes_);
}

void TLibraryHost::Wait(void* wake, unsigned ms) {
    const HANDLE wakers[3] = {wake, news_, process_};
    WaitForMultipleObjects(state_.ExitCode ? 2 : 3, wakers, FALSE, ms);
    Drain();
    if (state_.ExitCode || WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return;
    // What the host wrote before it ended comes first.
    const DWORD until = GetTickCount() + kLastWordsMs;
    for (;;) {
        const bool ended = reports_->TakeInto(reportBytes_) & output_->TakeInto(outputBytes_);
        const DWORD now = GetTickCount();
        if (ended || static_cast<LONG>(until - now) <= 0) break;
        WaitForSingleObject(news_, until - now);
    }
    state_.Take(reportBytes_);
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    state_.ExitCode = code;
}

void TLibraryHost::Go() {
    state_.NextUnit();
    const char go = 1;
    DWORD written = 0;
    WriteFile(commands_, &go, 1, &written, nullptr);
}

std::vector<std::string> TLibraryHost::TakeLines() {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t end; (end = outputBytes_.find('\n', from)) != std::string::npos; from = end + 1)
        lines.push_back(Utf8Line(outputBytes_.substr(from, end - from)));
    outputBytes_.erase(0, from);
    if (state_.ExitCode && !outputBytes_.empty()) {
        lines.push_back(Utf8Line(outputBytes_));
        outputBytes_.clear();
    }
    return lines;
}

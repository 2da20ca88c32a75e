// fwimage's side of the library's process: the image's section, the start
// of the host, the reading of its pipes and its bounded end. The host's own
// main is LibraryHostMain_win32.cpp.
#include "host/LibraryHostClient.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "image/ExitCodes.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"
#include "runtime/GrowingCall.h"
#include "runtime/Utf16.h"

namespace {

constexpr int64_t kSectionPiece = 4 << 20;
// After the host has ended by itself: how long what it wrote may take to arrive.
constexpr DWORD kLastWordsMs = 2000;
// How long a host told to end, or terminated, is waited for. A process with
// a request pending in a driver ends only when that request does.
constexpr DWORD kEndMs = 2000;

[[noreturn]] void ThrowLastError(const char* what) {
    const DWORD code = GetLastError();
    throw rt::EOSError(code, std::string(what) + ": " + rt::SysErrorMessage(code));
}

std::wstring ProgramPath() {
    const std::wstring path =
        GrowingCall([](wchar_t* b, DWORD n) { return GetModuleFileNameW(nullptr, b, n); });
    if (path.empty()) ThrowLastError("GetModuleFileName");
    return path;
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

// Only the handles the host needs are inherited, where the system can say so.
class THandleList {
public:
    explicit THandleList(std::initializer_list<HANDLE> handles) : handles_(handles) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        buffer_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
        if (size == 0 || !InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
            list_ = nullptr;
            return;
        }
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                       handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list_);
            list_ = nullptr;
        }
    }
    ~THandleList() {
        if (list_) DeleteProcThreadAttributeList(list_);
    }
    THandleList(const THandleList&) = delete;
    THandleList& operator=(const THandleList&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

private:
    std::vector<HANDLE> handles_;
    std::vector<char> buffer_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

struct TPipe {
    TUniqueHandle read, write;
};

TPipe InheritablePipe() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0)) ThrowLastError("CreatePipe");
    return {TUniqueHandle(read), TUniqueHandle(write)};
}

// Test seam: termination that does not take, as on Windows while a request
// of the host's is pending in a driver.
bool TerminationTakes() {
    return GetEnvironmentVariableW(L"FWL_HOST_UNKILLABLE", nullptr, 0) == 0;
}

}  // namespace

TImageSection::TImageSection(const TImageInfo& info) : size_(info.Size), sum_(info.Sum) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    // A section has at least a byte: an empty image (--allow-empty) too.
    const uint64_t size = std::max<uint64_t>(static_cast<uint64_t>(info.Size), 1);
    handle_.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE,
                                     static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr));
    if (!handle_) ThrowLastError("CreateFileMapping");
    for (int64_t at = 0; at < info.Size; at += kSectionPiece) {
        const size_t piece = static_cast<size_t>(std::min(kSectionPiece, info.Size - at));
        void* view =
            MapViewOfFile(handle_.Get(), FILE_MAP_WRITE, static_cast<DWORD>(static_cast<uint64_t>(at) >> 32),
                          static_cast<DWORD>(at), piece);
        if (view == nullptr) ThrowLastError("MapViewOfFile");
        std::memcpy(view, info.Data + at, piece);
        UnmapViewOfFile(view);
    }
}

// Reads a pipe on a thread of its own until its writers have gone. Shared
// with the thread, which closes the pipe and its event when it ends.
struct TLibraryHost::TReader {
    TUniqueHandle pipe;
    TUniqueHandle news;
    TUniqueHandle thread;
    std::mutex lock;
    std::string bytes;
    bool ended = false;

    static DWORD WINAPI Run(LPVOID self) {
        const std::shared_ptr<TReader> reader = *static_cast<std::shared_ptr<TReader>*>(self);
        delete static_cast<std::shared_ptr<TReader>*>(self);
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(reader->pipe.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
            std::lock_guard<std::mutex> guard(reader->lock);
            reader->bytes.append(buffer, read);
            SetEvent(reader->news.Get());
        }
        std::lock_guard<std::mutex> guard(reader->lock);
        reader->ended = true;
        SetEvent(reader->news.Get());
        reader->pipe.Reset();
        return 0;
    }

    // Starts the thread; the pipe is the reader's from here on.
    static std::shared_ptr<TReader> Start(TUniqueHandle pipe, HANDLE news) {
        auto reader = std::make_shared<TReader>();
        reader->pipe = std::move(pipe);
        HANDLE own = nullptr;
        DuplicateHandle(GetCurrentProcess(), news, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS);
        reader->news.Reset(own);
        auto* shared = new std::shared_ptr<TReader>(reader);
        reader->thread.Reset(CreateThread(nullptr, 0, Run, shared, 0, nullptr));
        if (!reader->thread) {
            delete shared;
            ThrowLastError("CreateThread");
        }
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

TLibraryHost::TLibraryHost(const TImageSection& image) : terminationTakes_(TerminationTakes()) {
    // The host's ends are inherited; fwimage's stay here, so that the host's
    // death ends the pipes.
    TPipe commands = InheritablePipe(), reports = InheritablePipe(), output = InheritablePipe();
    for (HANDLE own : {commands.write.Get(), reports.read.Get(), output.read.Get()})
        SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
    const THostLaunch launch{.Commands = reinterpret_cast<uintptr_t>(commands.read.Get()),
                             .Reports = reinterpret_cast<uintptr_t>(reports.write.Get()),
                             .Section = reinterpret_cast<uintptr_t>(image.Handle()),
                             .Size = image.Size(),
                             .Sum = image.Sum()};
    std::wstring line = L"\"" + ProgramPath() + L"\"" + rt::Utf8ToUtf16(HostArguments(launch));

    const THandleList inherited{commands.read.Get(), reports.write.Get(), output.write.Get(), image.Handle()};
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = output.write.Get();
    startup.StartupInfo.hStdError = output.write.Get();
    startup.lpAttributeList = inherited.Get();
    // No console of fwimage's: its close, Ctrl+C and log-off are fwimage's to
    // decide. A library that opens one gets a console of its own, hidden.
    DWORD flags = CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW;
    if (startup.lpAttributeList) flags |= EXTENDED_STARTUPINFO_PRESENT;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                        &startup.StartupInfo, &process))
        ThrowLastError("CreateProcess");
    process_.Reset(process.hProcess);
    const TUniqueHandle thread(process.hThread);
    // In a job that ends it with fwimage, and at its first unhandled
    // exception without a box. Windows 7 cannot put a process of a job (a
    // scheduler's, a service's) into another: the destructor ends it then.
    job_.Reset(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (job_ && (!SetInformationJobObject(job_.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
                 !AssignProcessToJobObject(job_.Get(), process_.Get())))
        job_.Reset();
    ResumeThread(thread.Get());

    commands_ = std::move(commands.write);
    news_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    try {
        if (!news_) ThrowLastError("CreateEvent");
        reports_ = TReader::Start(std::move(reports.read), news_.Get());
        output_ = TReader::Start(std::move(output.read), news_.Get());
    } catch (...) {
        End();
        throw;
    }
}

bool TLibraryHost::End() {
    if (ended_ || endTried_) return ended_;
    endTried_ = true;
    if (terminationTakes_) {
        if (job_) TerminateJobObject(job_.Get(), kExitLibraryLeft);
        TerminateProcess(process_.Get(), kExitLibraryLeft);
    }
    ended_ = WaitForSingleObject(process_.Get(), kEndMs) == WAIT_OBJECT_0;
    return ended_;
}

TLibraryHost::~TLibraryHost() {
    // No call runs: the host is let go, and the library sees its process
    // detach. Else, or when it does not end meanwhile, it is ended.
    if (!ended_ && !endTried_ && state_.Outcome) {
        commands_.Reset();
        ended_ = WaitForSingleObject(process_.Get(), kEndMs) == WAIT_OBJECT_0;
    }
    End();
    // Nothing read from here on is told. A process the library started, or
    // the host's console, may hold the pipes still: the readers are let go.
    for (const auto& reader : {reports_, output_})
        if (reader) CancelSynchronousIo(reader->thread.Get());
}

void TLibraryHost::Drain() {
    reports_->TakeInto(reportBytes_);
    output_->TakeInto(outputBytes_);
    state_.Take(reportBytes_);
}

void TLibraryHost::Wait(void* wake, unsigned ms) {
    const HANDLE wakers[3] = {wake, news_.Get(), process_.Get()};
    WaitForMultipleObjects(state_.ExitCode ? 2 : 3, wakers, FALSE, ms);
    Drain();
    if (state_.ExitCode || WaitForSingleObject(process_.Get(), 0) != WAIT_OBJECT_0) return;
    // What the host wrote before it ended comes first.
    const DWORD until = GetTickCount() + kLastWordsMs;
    for (;;) {
        const bool ended = reports_->TakeInto(reportBytes_) & output_->TakeInto(outputBytes_);
        const DWORD now = GetTickCount();
        if (ended || static_cast<LONG>(until - now) <= 0) break;
        WaitForSingleObject(news_.Get(), until - now);
    }
    state_.Take(reportBytes_);
    DWORD code = 0;
    GetExitCodeProcess(process_.Get(), &code);
    state_.ExitCode = code;
    ended_ = true;
}

void TLibraryHost::Go() {
    state_.NextUnit();
    const char go = EncodeCommand(THostCommand::Go);
    DWORD written = 0;
    WriteFile(commands_.Get(), &go, 1, &written, nullptr);
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

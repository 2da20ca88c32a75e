#include "window/CallRecord.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>

#include "download/DownloadEndings.h"
#include "download/DownloadLogFile.h"
#include "download/LibraryCalls.h"
#include "download/PreparedRecord.h"
#include "runtime/Utf16.h"

namespace {

struct TReadyRecords {
    HANDLE Log = INVALID_HANDLE_VALUE;
    // By call, for each whose death has an ending of its own.
    std::array<TPreparedRecord, kLibraryCallCount> Crashed;
    TPreparedRecord Closed;
    uint64_t MsAtReady = 0;  // from Yes to the moment they were made
    ULONGLONG TickAtReady = 0;

    ~TReadyRecords() {
        if (Log != INVALID_HANDLE_VALUE) CloseHandle(Log);
    }
};

// How long a crash's record waits for another writer's lock on the log (a
// share held by another station): a crashed process cannot wait long.
constexpr int kLockTries = 50;
constexpr DWORD kLockPauseMs = 20;

// Made and let go by the download's thread, only while no call is armed;
// read by a writer that has taken the armed step.
TReadyRecords* Ready = nullptr;
// The step of the call that runs (TLibraryCall), None when none: the one
// writer that exchanges it for None writes.
std::atomic<int> Armed{0};
std::atomic<bool> Written{false};
// Writers inside Write: the records are not let go under them.
std::atomic<int> Writers{0};
LPTOP_LEVEL_EXCEPTION_FILTER PreviousFilter = nullptr;

// Only system calls and the prepared buffers from here: no heap, no locks.
void Write(bool crash) noexcept {
    ++Writers;
    const auto step = static_cast<TLibraryCall>(Armed.exchange(0));
    if (LibraryCallRow(step).Crashed && Ready != nullptr) {
        Written = true;
        TPreparedRecord& record = crash ? Ready->Crashed[static_cast<size_t>(step)] : Ready->Closed;
        SYSTEMTIME now;
        GetSystemTime(&now);
        const uint64_t ms = Ready->MsAtReady + (GetTickCount64() - Ready->TickAtReady);
        const std::string_view bytes =
            record.Finish({now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond}, (ms + 500) / 1000);
        // Under the lock every writer of the log takes, as another station's
        // record may be on its way to the same end.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(kLogLockOffset);
        at.OffsetHigh = static_cast<DWORD>(kLogLockOffset >> 32);
        bool locked = false;
        for (int i = 0; i < kLockTries && !locked; ++i) {
            locked = LockFileEx(Ready->Log, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != FALSE;
            if (!locked) Sleep(kLockPauseMs);
        }
        LARGE_INTEGER end{};
        SetFilePointerEx(Ready->Log, end, &end, FILE_END);
        DWORD written = 0;
        if (!WriteFile(Ready->Log, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size()) {
            // A record not written whole leaves no part of a line behind.
            SetFilePointerEx(Ready->Log, end, nullptr, FILE_BEGIN);
            SetEndOfFile(Ready->Log);
        }
        FlushFileBuffers(Ready->Log);
        if (locked) UnlockFileEx(Ready->Log, 0, 1, 0, &at);
    }
    --Writers;
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* exception) {
    Write(true);
    // What the system does with a crash is left as it was.
    return PreviousFilter != nullptr ? PreviousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

// Again before each call: a library may have set a filter of its own since.
void SetFilter() {
    const LPTOP_LEVEL_EXCEPTION_FILTER was = SetUnhandledExceptionFilter(OnCrash);
    if (was != OnCrash) PreviousFilter = was;
}

}  // namespace

void InstallCallRecordFilter() {
    SetFilter();
}

void PrepareCallRecord(const std::string& logFile, const TImageInfo& sent, const std::string& sha256,
                       std::chrono::steady_clock::time_point yes, std::string_view tool) {
    ReleaseCallRecord();
    Written = false;
    // Proved as the download's own record would be: a new log takes its header now.
    if (AppendToDownloadLog(logFile, {}, sent.FullPath)) return;
    auto ready = std::make_unique<TReadyRecords>();
    ready->Log = CreateFileW(rt::FileCallName(logFile).c_str(), FILE_READ_DATA | FILE_WRITE_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready->Log == INVALID_HANDLE_VALUE) return;
    const TLogForm form = OpenLogForm(ready->Log);
    TDownloadRecord record{.UtcTime = {},
                           .FullPath = sent.FullPath,
                           .Size = sent.Size,
                           .Sum = sent.Sum,
                           .Outcome = {},
                           .ExitCode = 0,
                           .Sha256 = sha256,
                           .Seconds = 0,
                           .Tool = tool,
                           .Unit = {}};
    for (size_t call = 0; call < kLibraryCallCount; ++call) {
        const std::optional<TEnding> crashed = LibraryCallRow(static_cast<TLibraryCall>(call)).Crashed;
        if (!crashed) continue;
        record.Outcome = EndingRow(*crashed).LogName;
        record.ExitCode = EndingRow(*crashed).ExitCode;
        ready->Crashed[call] = TPreparedRecord(record, form);
    }
    record.Outcome = EndingRow(TEnding::Closed).LogName;
    record.ExitCode = EndingRow(TEnding::Closed).ExitCode;
    ready->Closed = TPreparedRecord(record, form);
    const auto since = std::chrono::steady_clock::now() - yes;
    ready->MsAtReady = static_cast<uint64_t>(
        std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(since).count()));
    ready->TickAtReady = GetTickCount64();
    Ready = ready.release();
}

void ReleaseCallRecord() noexcept {
    Armed = 0;
    while (Writers.load() > 0) Sleep(1);
    delete Ready;
    Ready = nullptr;
}

TCallRecordArm::TCallRecordArm(TLibraryCall step) noexcept {
    if (Ready == nullptr || Written.load()) return;
    SetFilter();
    Armed = static_cast<int>(step);
}

TCallRecordArm::~TCallRecordArm() {
    Armed = 0;
}

void WriteClosedRecord() noexcept {
    Write(false);
}

bool CallRecordWritten() noexcept {
    return Written.load();
}

// The log file on Windows. A record must never be lost unnoticed, so the file
// is proved before the record is due (fwimage: before the library is called):
// it must be a log (nothing is written to any other file), a new one takes
// its header row, an existing one must not be read-only, and its volume must
// have room for the record.
//
// Several stations may share one log on a network folder, where appending
// is not atomic: every write moves to the end under an exclusive lock on a
// byte far past any real end, which every writer of the log takes. Ranges
// locked on Windows cannot be read or written by others: hence so far out.
#include "download/DownloadLogFile.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "runtime/Display.h"
#include "runtime/FileIO.h"
#include "runtime/Utf16.h"

namespace {

constexpr size_t kProvedRoom = 4096;

// A viewer holding the log, or another station writing its record: tried
// again for about two seconds in all, as the rename of a written file is.
constexpr DWORD kHeldPausesMs[] = {10, 20, 40, 80, 150, 300, 500, 500, 500};

bool Held(DWORD code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

// Calls attempt until it gives 0 or a code that is not Held, or the pauses
// are spent; its last code.
template <typename Attempt>
DWORD WhileHeld(Attempt attempt) {
    for (size_t i = 0;; ++i) {
        const DWORD code = attempt();
        if (!Held(code) || i == std::size(kHeldPausesMs)) return code;
        Sleep(kHeldPausesMs[i]);
    }
}

std::string WriteFailure(const std::string& fileName, DWORD code) {
    return "Cannot write the log file \"" + rt::ExpandFileName(fileName) + "\": " + rt::SysErrorMessage(code);
}

// 0 when written; else the system's code (a short write counts as a full volume).
DWORD WriteAll(HANDLE handle, std::string_view text) {
    DWORD written = 0;
    if (LogWriteFault) {
        WriteFile(handle, text.data(), static_cast<DWORD>(std::min(LogWriteFault->CutAfter, text.size())),
                  &written, nullptr);
        return ERROR_DISK_FULL;
    }
    SetLastError(ERROR_SUCCESS);
    if (WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size() && FlushFileBuffers(handle))
        return 0;
    const DWORD code = GetLastError();
    return code != ERROR_SUCCESS ? code : ERROR_DISK_FULL;
}

// The bytes at offset, as many as there are up to count.
std::string ReadAt(HANDLE handle, uint64_t offset, DWORD count) {
    std::string bytes(count, '\0');
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(handle, bytes.data(), count, &read, &at)) read = 0;
    bytes.resize(read);
    return bytes;
}

// The writers' lock, held while it lives; Code() is 0 once taken, and also
// on a drive that cannot lock at all (an old server, a foreign file system):
// a record written unlocked there beats a record lost.
class TEndLock {
public:
    explicit TEndLock(HANDLE handle) : handle_(handle) {
        code_ = WhileHeld([&] {
            OVERLAPPED at = Range();
            return LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)
                       ? DWORD{0}
                       : GetLastError();
        });
        locked_ = code_ == 0;
        if (!Held(code_)) code_ = 0;
    }
    ~TEndLock() {
        OVERLAPPED at = Range();
        if (locked_) UnlockFileEx(handle_, 0, 1, 0, &at);
    }
    TEndLock(const TEndLock&) = delete;
    TEndLock& operator=(const TEndLock&) = delete;
    DWORD Code() const { return code_; }
    bool Locked() const { return locked_; }

private:
    static OVERLAPPED Range() {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(kLogLockOffset);
        at.OffsetHigh = static_cast<DWORD>(kLogLockOffset >> 32);
        return at;
    }
    HANDLE handle_;
    DWORD code_;
    bool locked_;
};

}  // namespace

const TLogWriteFault* LogWriteFault = nullptr;

TDownloadLogFile::TDownloadLogFile(const std::string& fileName, size_t roomNeeded,
                                   const std::string& imagePath)
    : name_(fileName), handle_(INVALID_HANDLE_VALUE) {
    if (const std::optional<std::string> refusal = LogPathRefusal(fileName, imagePath))
        throw ELogRefused(*refusal);
    const std::wstring wide = rt::FileCallName(fileName);
    // Wine and administrators may append to a read-only file; its attribute
    // still says that it is not to be written.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        throw ELogWriteError(WriteFailure(fileName, ERROR_ACCESS_DENIED), ERROR_ACCESS_DENIED);
    // Not append-only: Windows keeps that promise for local files only, so
    // the move to the end under the lock places every record, the same way
    // on every drive.
    HANDLE handle = INVALID_HANDLE_VALUE;
    const DWORD code = WhileHeld([&] {
        handle = CreateFileW(wide.c_str(), FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
        return handle == INVALID_HANDLE_VALUE ? GetLastError() : DWORD{0};
    });
    if (handle == INVALID_HANDLE_VALUE)
        throw rt::EFCreateError(rt::ExpandFileName(fileName), rt::SysErrorMessage(code), code);
    handle_ = handle;
    try {
        Prove(roomNeeded);
    } catch (...) {
        CloseHandle(handle);
        throw;
    }
}

TLogForm OpenLogForm(void* log, std::string* head) {
    const HANDLE handle = static_cast<HANDLE>(log);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle, &size)) size.QuadPart = 0;
    const auto length = static_cast<uint64_t>(size.QuadPart);
    std::string first = length > 0 ? ReadAt(handle, 0, kLogHeadBytes) : "";
    const std::string last = length > 0 ? ReadAt(handle, length - 1, 1) : "";
    const TLogForm form = LogFormOf(length, first, last.empty() ? '\n' : last[0]);
    if (head) *head = std::move(first);
    return form;
}

void TDownloadLogFile::Prove(size_t roomNeeded) {
    const HANDLE handle = static_cast<HANDLE>(handle_);
    {
        // Judged and opened under the lock: two stations starting one new
        // log give it one header.
        const TEndLock lock(handle);
        if (lock.Code() != 0) throw ELogWriteError(WriteFailure(name_, lock.Code()), lock.Code());
        std::string head;
        form_ = OpenLogForm(handle, &head);
        if (!IsDownloadLog(head)) throw ELogRefused(NotALogText(name_));
        bool partial = false;
        if (const DWORD code = WriteAtEnd(LogOpeningText(form_), lock.Locked(), partial))
            throw ELogWriteError(WriteFailureText(code, partial), code);
        form_.NewFile = form_.LineOpen = false;
    }

    // A full volume may still take a few bytes into the file's last cluster:
    // ask for the room itself. A volume that cannot tell is not refused.
    const std::string full = rt::ExpandFileName(name_);
    const std::wstring folder = rt::Utf8ToUtf16(full.substr(0, full.find_last_of("\\/") + 1));
    ULARGE_INTEGER available{};
    if (GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) && available.QuadPart < roomNeeded)
        throw ELogWriteError(WriteFailure(name_, ERROR_DISK_FULL), ERROR_DISK_FULL);
}

uint32_t TDownloadLogFile::WriteAtEnd(std::string_view text, bool locked, bool& partial) {
    partial = false;
    if (text.empty()) return 0;
    const HANDLE handle = static_cast<HANDLE>(handle_);
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(handle, LARGE_INTEGER{}, &end, FILE_END)) return GetLastError();
    // A viewer's own lock over the end; each try starts where the end was.
    const DWORD code = WhileHeld([&] {
        return SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) ? WriteAll(handle, text) : GetLastError();
    });
    if (code == 0) return 0;
    // A lost record leaves no torn line for the next one to follow.
    partial = !locked || (LogWriteFault && LogWriteFault->RollbackFails) ||
              !SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle) ||
              !FlushFileBuffers(handle);
    return code;
}

std::string TDownloadLogFile::WriteFailureText(uint32_t code, bool partial) const {
    return WriteFailure(name_, code) + (partial ? "; the log may now end in a partial line" : "");
}

TDownloadLogFile::~TDownloadLogFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(static_cast<HANDLE>(handle_));
}

std::optional<std::string> TDownloadLogFile::Append(std::string_view record) noexcept {
    try {
        const TEndLock lock(static_cast<HANDLE>(handle_));
        DWORD code = lock.Code();
        bool partial = false;
        if (code == 0) code = WriteAtEnd(LogRecordText(form_, record), lock.Locked(), partial);
        if (code == 0) return std::nullopt;
        return rt::FailureDisplayText(WriteFailureText(code, partial));
    } catch (...) {
        return std::string("Cannot write the log file: out of memory.");
    }
}

std::optional<std::string> AppendToDownloadLog(const std::string& fileName, std::string_view record,
                                               const std::string& imagePath) noexcept {
    try {
        // Without a record: room for one of a long path.
        TDownloadLogFile log(fileName, record.empty() ? kProvedRoom : record.size() + 2, imagePath);
        return record.empty() ? std::nullopt : log.Append(record);
    } catch (...) {
        return OrOnThrow([] { return rt::FailureDisplayText(rt::FailureMessage(std::current_exception())); },
                         std::string());
    }
}

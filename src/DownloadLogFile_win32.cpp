// The log file on Windows. A record must never be lost unnoticed, so the file
// is proved before the record is due (fwimage: before the library is called):
// a new one takes its header row, an existing one must not be read-only, and
// its volume must have room for the record.
#include "DownloadLogFile.h"

#include <windows.h>

#include "runtime/Display.h"
#include "runtime/FileIO.h"
#include "runtime/Utf16.h"

namespace {

constexpr size_t kProvedRoom = 4096;

std::string WriteFailure(const std::string& fileName, DWORD code) {
    return "Cannot write the log file \"" + rt::ExpandFileName(fileName) + "\": " + rt::SysErrorMessage(code);
}

// 0 when written; else the system's code (a short write counts as a full volume).
DWORD WriteAll(HANDLE handle, std::string_view text) {
    DWORD written = 0;
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

}  // namespace

TDownloadLogFile::TDownloadLogFile(const std::string& fileName, size_t roomNeeded)
    : name_(fileName), handle_(INVALID_HANDLE_VALUE) {
    const std::wstring wide = rt::FileCallName(fileName);
    // Wine and administrators may append to a read-only file; its attribute
    // still says that it is not to be written.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        throw ELogWriteError(WriteFailure(fileName, ERROR_ACCESS_DENIED));
    // Append-only writing: every record lands at the end, even with other
    // processes appending to the same file.
    const HANDLE handle =
        CreateFileW(wide.c_str(), FILE_READ_DATA | FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        throw rt::EFCreateError(rt::ExpandFileName(fileName), rt::SysErrorMessage(code));
    }
    handle_ = handle;
    try {
        Prove(roomNeeded);
    } catch (...) {
        CloseHandle(handle);
        throw;
    }
}

void TDownloadLogFile::Prove(size_t roomNeeded) {
    const HANDLE handle = static_cast<HANDLE>(handle_);
    LARGE_INTEGER size{};
    GetFileSizeEx(handle, &size);
    const auto length = static_cast<uint64_t>(size.QuadPart);
    const std::string last = length > 0 ? ReadAt(handle, length - 1, 1) : "";
    form_ = LogFormOf(length, ReadAt(handle, 0, 4096), last.empty() ? '\n' : last[0]);
    if (const DWORD code = WriteAll(handle, LogOpeningText(form_)))
        throw ELogWriteError(WriteFailure(name_, code));
    form_.NewFile = form_.LineOpen = false;

    // A full volume may still take a few bytes into the file's last cluster:
    // ask for the room itself. A volume that cannot tell is not refused.
    const std::string full = rt::ExpandFileName(name_);
    const std::wstring folder = rt::Utf8ToUtf16(full.substr(0, full.find_last_of("\\/") + 1));
    ULARGE_INTEGER available{};
    if (GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) && available.QuadPart < roomNeeded)
        throw ELogWriteError(WriteFailure(name_, ERROR_DISK_FULL));
}

TDownloadLogFile::~TDownloadLogFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(static_cast<HANDLE>(handle_));
}

std::optional<std::string> TDownloadLogFile::Append(std::string_view record) noexcept {
    try {
        const DWORD code = WriteAll(static_cast<HANDLE>(handle_), LogRecordText(form_, record));
        if (code == 0) return std::nullopt;
        return rt::FailureDisplayText(WriteFailure(name_, code));
    } catch (...) {
        return std::string("Cannot write the log file: out of memory.");
    }
}

std::optional<std::string> AppendToDownloadLog(const std::string& fileName,
                                               std::string_view record) noexcept {
    try {
        // Without a record: room for one of a long path.
        TDownloadLogFile log(fileName, record.empty() ? kProvedRoom : record.size() + 2);
        return record.empty() ? std::nullopt : log.Append(record);
    } catch (...) {
        return OrOnThrow([] { return rt::FailureDisplayText(rt::FailureMessage(std::current_exception())); },
                         std::string());
    }
}

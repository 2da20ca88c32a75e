// Windows files through the wide API, so any path opens whatever the ANSI
// code page is.
#include "runtime/FileIO.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <iterator>

#include "runtime/Exceptions.h"
#include "runtime/FileName.h"
#include "runtime/Utf16.h"

namespace rt {

std::wstring Utf8ToUtf16(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Utf16ToUtf8(std::wstring_view utf16) {
    if (utf16.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

namespace {

// Largest single ReadFile/WriteFile request.
constexpr int64_t kMaxChunk = 1 << 30;

// The full path of a wide name; empty when the system cannot make one.
std::wstring FullPath(const std::wstring& wide) {
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return {};
    full.resize(length);
    return full;
}

std::wstring FileCallNameW(const std::wstring& wide) {
    return FileCallForm(wide, FullPath(wide));
}

// The path h finally resolves to, links followed, in the "\\?\" form;
// empty when the system cannot tell.
std::wstring FinalPath(HANDLE h) {
    std::wstring final(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(h, final.data(), static_cast<DWORD>(final.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    final.resize(n > 0 && n < final.size() ? n : 0);
    return final;
}

}  // namespace

std::wstring FileCallName(const std::string& fileName) {
    return FileCallNameW(Utf8ToUtf16(fileName));
}

struct TReadFile::Impl {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

TReadFile::TReadFile(const std::string& fileName) : impl_(std::make_unique<Impl>()), fileName_(fileName) {
    impl_->handle = CreateFileW(FileCallName(fileName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (impl_->handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        throw EFOpenError(ExpandFileName(fileName), SysErrorMessage(code), code);
    }
    // A console, a pipe or a device such as NUL has no size to trust.
    if (GetFileType(impl_->handle) != FILE_TYPE_DISK) {
        CloseHandle(impl_->handle);
        impl_->handle = INVALID_HANDLE_VALUE;
        throw EFOpenError(ExpandFileName(fileName), kNotARegularFile);
    }
}

TReadFile::~TReadFile() {
    if (impl_->handle != INVALID_HANDLE_VALUE) CloseHandle(impl_->handle);
}

TFileStamp TReadFile::Stamp() const {
    BY_HANDLE_FILE_INFORMATION data;
    if (!GetFileInformationByHandle(impl_->handle, &data)) throw EReadError();
    const auto join = [](DWORD high, DWORD low) {
        return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
    };
    return {join(data.nFileSizeHigh, data.nFileSizeLow),
            join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime)};
}

void TReadFile::Rewind() {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(impl_->handle, zero, nullptr, FILE_BEGIN)) throw EReadError();
}

int64_t TReadFile::Read(void* buffer, int64_t count) {
    DWORD done = 0;
    const DWORD want = static_cast<DWORD>(count < kMaxChunk ? count : kMaxChunk);
    if (!ReadFile(impl_->handle, buffer, want, &done, nullptr)) throw EReadError();
    return done;
}

namespace {

[[noreturn]] void CannotCreate(const std::string& fileName, DWORD code) {
    throw EFCreateError(ExpandFileName(fileName), SysErrorMessage(code), code);
}

// Writes all bytes; 0 or the error code.
DWORD WriteAll(HANDLE h, const uint8_t* data, int64_t size) {
    int64_t done = 0;
    while (done < size) {
        DWORD written = 0;
        const DWORD want = static_cast<DWORD>(size - done < kMaxChunk ? size - done : kMaxChunk);
        if (!WriteFile(h, data + done, want, &written, nullptr)) return GetLastError();
        if (written == 0) return ERROR_WRITE_FAULT;
        done += written;
    }
    return 0;
}

// Writes the file itself: a device or a pipe (OPEN_EXISTING), which cannot
// be replaced, or a file whose folder takes no temporary file
// (TRUNCATE_EXISTING).
void WriteInPlace(const std::string& fileName, const std::wstring& wide, DWORD disposition,
                  const uint8_t* data, int64_t size) {
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           disposition, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) CannotCreate(fileName, GetLastError());
    DWORD code = WriteAll(h, data, size);
    if (!CloseHandle(h) && code == 0) code = GetLastError();
    if (code != 0) CannotCreate(fileName, code);
}

// What an existing name stands for: whether it is a file on a disk, its
// attributes, and the path it finally resolves to (links followed); the name
// itself otherwise.
struct TTarget {
    bool exists = false;
    bool onDisk = true;
    DWORD attributes = 0;
    std::wstring path;
};

TTarget TargetOf(const std::wstring& wide) {
    TTarget target{false, true, 0, wide};
    HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return target;
    target.exists = true;
    target.onDisk = GetFileType(h) == FILE_TYPE_DISK;
    if (target.onDisk) {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(h, &info)) target.attributes = info.dwFileAttributes;
        if (std::wstring final = FinalPath(h); !final.empty()) target.path = std::move(final);
    }
    CloseHandle(h);
    return target;
}

std::atomic<TTemporaryKind> gTemporaryKind{TTemporaryKind::byDrive};

// Whether the file behind h lies where its delete-on-close mark can be taken
// back: a local fixed drive (a folder mounted from another drive counts as
// that drive) with a file system Windows ships.
bool MarkCanBeTakenBack(HANDLE h) {
    if (gTemporaryKind != TTemporaryKind::byDrive) return gTemporaryKind == TTemporaryKind::markStuck;
    wchar_t fileSystem[MAX_PATH + 1] = {};
    if (!GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1))
        return false;
    const std::wstring path = FinalPath(h);
    std::wstring root(path.size() + 2, L'\0');
    if (path.empty() || !GetVolumePathNameW(path.c_str(), root.data(), static_cast<DWORD>(root.size())))
        return false;
    // Not every system tells the type of a root in the long form: Wine calls
    // a network drive's fixed.
    root.resize(wcslen(root.c_str()));
    return DeleteMarkTakenBack(Utf16ToUtf8(fileSystem),
                               GetDriveTypeW(PlainPathForm(root).c_str()) == DRIVE_FIXED);
}

// Marks an open file to go when its last handle closes (also when the
// process is killed), or takes the mark back; false when the file system
// refuses.
bool DeleteOnClose(HANDLE h, bool remove) {
    if (!remove && gTemporaryKind == TTemporaryKind::markStuck) return false;
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != FALSE;
}

// The temporary files being written, for the console handler: Ctrl+C,
// Ctrl+Break and a closed console remove them before the process ends, also
// where no mark does, and a rename that comes after is refused. Log-off and
// shutdown reach that handler only in a program that has not loaded user32,
// so they are not counted on here.
class TPendingTemporary {
public:
    explicit TPendingTemporary(const std::wstring& name) : name_(name) {
        static const BOOL kHandled = SetConsoleCtrlHandler(OnConsoleEnd, TRUE);
        (void)kHandled;
        AcquireSRWLockExclusive(&lock_);
        next_ = first_;
        first_ = this;
        ReleaseSRWLockExclusive(&lock_);
    }
    ~TPendingTemporary() {
        AcquireSRWLockExclusive(&lock_);
        TPendingTemporary** link = &first_;
        while (*link != this) link = &(*link)->next_;
        *link = next_;
        ReleaseSRWLockExclusive(&lock_);
    }
    TPendingTemporary(const TPendingTemporary&) = delete;
    TPendingTemporary& operator=(const TPendingTemporary&) = delete;

    // Renames the file over target; 0 or the error code.
    DWORD MoveOver(const std::wstring& target) {
        AcquireSRWLockExclusive(&lock_);
        DWORD code = ERROR_OPERATION_ABORTED;
        if (!gone_) {
            gone_ = MoveFileExW(name_.c_str(), target.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
            code = gone_ ? 0 : GetLastError();
        }
        ReleaseSRWLockExclusive(&lock_);
        return code;
    }

private:
    // The system's own handler, after this one, ends the process.
    static BOOL WINAPI OnConsoleEnd(DWORD) {
        AcquireSRWLockExclusive(&lock_);
        for (TPendingTemporary* p = first_; p != nullptr; p = p->next_)
            if (!p->gone_) {
                DeleteFileW(p->name_.c_str());
                p->gone_ = true;
            }
        ReleaseSRWLockExclusive(&lock_);
        return FALSE;
    }

    const std::wstring name_;
    bool gone_ = false;
    TPendingTemporary* next_ = nullptr;
    static inline SRWLOCK lock_ = SRWLOCK_INIT;
    static inline TPendingTemporary* first_ = nullptr;
};

// Scanners, indexers and sync clients open a fresh file the moment it is
// closed; the rename over it is tried again for about two seconds in all.
constexpr DWORD kRenamePausesMs[] = {50, 100, 200, 400, 600, 650};

// Not a system code (bit 29 is the application's): the mark stayed on.
constexpr DWORD kMarkStuck = 0x20000001;

// Renames the open temporary file over the target; 0 or the error code. A
// marked file is without its mark only while a rename is tried: a rename
// with the mark still on would pass it to the new file, which would go with
// the handle. A folder in the way is no file that a scanner holds: no
// retries.
DWORD RenameOver(HANDLE h, TPendingTemporary& temp, bool marked, const TTarget& target) {
    const bool mayBeHeld = (target.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    for (size_t attempt = 0;; ++attempt) {
        if (marked && !DeleteOnClose(h, false)) return kMarkStuck;
        const DWORD code = temp.MoveOver(target.path);
        if (code == 0) return 0;
        if (marked) DeleteOnClose(h, true);
        if (!mayBeHeld || !HeldByAnother(code) || attempt == std::size(kRenamePausesMs)) return code;
        Sleep(kRenamePausesMs[attempt]);
    }
}

}  // namespace

void WriteWholeFile(const std::string& fileName, const uint8_t* data, int64_t size) {
    const std::wstring wide = FileCallName(fileName);
    const TTarget target = TargetOf(wide);
    if (!target.onDisk) return WriteInPlace(fileName, wide, OPEN_EXISTING, data, size);
    // Windows refuses to rename over it; the other builds refuse it alike.
    if (target.attributes & FILE_ATTRIBUTE_READONLY)
        throw EFCreateError(ExpandFileName(fileName), kReadOnlyFile);

    // The new content goes to a file of its own in the same folder and takes
    // the name in one step once it is complete and on the disk, so a failure
    // on the way leaves the target exactly as it was. It carries the old
    // file's hidden and system marks, as a new file it is marked for backup.
    const size_t separator = target.path.find_last_of(L"\\/:");
    const size_t nameStart = separator == std::wstring::npos ? 0 : separator + 1;
    const std::wstring folder = target.path.substr(0, nameStart);
    const std::string name = Utf16ToUtf8(std::wstring_view(target.path).substr(nameStart));
    const DWORD kept = target.attributes &
                       (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    std::wstring temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; h == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        temp = FileCallNameW(folder + Utf8ToUtf16(TemporaryName(name)));
        h = CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_ARCHIVE | kept, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // A folder that takes no new file, over a file that may be written.
        if (code == ERROR_ACCESS_DENIED && target.exists)
            return WriteInPlace(fileName, target.path, TRUNCATE_EXISTING, data, size);
        CannotCreate(fileName, code);
    }
    // Where the mark cannot be trusted to come off again the file has only
    // its name, and the console handler and the failure path remove it.
    TPendingTemporary pending(temp);
    const bool marked = MarkCanBeTakenBack(h) && DeleteOnClose(h, true);
    DWORD code = WriteAll(h, data, size);
    if (code == 0 && !FlushFileBuffers(h)) code = GetLastError();
    if (code == 0) code = RenameOver(h, pending, marked, target);
    if (!CloseHandle(h) && code == 0) code = GetLastError();
    if (code == 0) return;
    DeleteFileW(temp.c_str());
    if (code == kMarkStuck) throw EFCreateError(ExpandFileName(fileName), kDeleteMarkStuck);
    CannotCreate(fileName, code);
}

void SetTemporaryKindForTest(TTemporaryKind kind) {
    gTemporaryKind = kind;
}

namespace {

// The 128-bit id where the system has it (Windows 8 on), else the 64-bit
// file index.
TFileId IdOf(HANDLE h) {
    constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
    struct {
        ULONGLONG volume;
        BYTE id[16];
    } info{};
    TFileId out;
    if (GetFileInformationByHandleEx(h, kFileIdInfo, &info, sizeof info)) {
        out.volume = info.volume;
        std::memcpy(out.id.data(), info.id, sizeof info.id);
        return out;
    }
    BY_HANDLE_FILE_INFORMATION data;
    if (!GetFileInformationByHandle(h, &data)) return out;
    out.volume = data.dwVolumeSerialNumber;
    const uint64_t index = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
    std::memcpy(out.id.data(), &index, sizeof index);
    return out;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
    HANDLE h[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    const std::string* names[2] = {&a, &b};
    for (int i = 0; i < 2; ++i)
        h[i] = CreateFileW(FileCallName(*names[i]).c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    bool same = false;
    if (h[0] != INVALID_HANDLE_VALUE && h[1] != INVALID_HANDLE_VALUE) {
        if (const std::optional<bool> byId = SameById(IdOf(h[0]), IdOf(h[1]))) {
            same = *byId;
        } else {
            // Network and other file systems that keep no ids: the paths
            // the handles resolve to, as the file system spells them.
            const std::wstring first = FinalPath(h[0]), second = FinalPath(h[1]);
            same = !first.empty() &&
                   CompareStringOrdinal(first.c_str(), -1, second.c_str(), -1, TRUE) == CSTR_EQUAL;
        }
    }
    for (HANDLE each : h)
        if (each != INVALID_HANDLE_VALUE) CloseHandle(each);
    return same;
}

std::string ExpandFileName(const std::string& fileName) {
    if (fileName.empty()) return fileName;
    const std::wstring full = FullPath(Utf8ToUtf16(fileName));
    return full.empty() ? fileName : Utf16ToUtf8(full);
}

uint32_t LastOSError() {
    return GetLastError();
}

std::string SysErrorMessage(uint32_t code, std::string_view insert) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (n != 0 && buffer != nullptr) text = Utf16ToUtf8(std::wstring_view(buffer, n));
    if (buffer != nullptr) LocalFree(buffer);
    return TrimErrorText(FillInserts(text, insert));
}

}  // namespace rt

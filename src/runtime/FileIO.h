// Whole-file reading and writing by UTF-8 path, and the operating system's
// text for an error code. One implementation per platform.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace rt {

// What a file's content is known by between two reads of it: its size and
// the time of its last change (in the system's own units).
struct TFileStamp {
    int64_t size = 0;
    int64_t modified = 0;
    bool operator==(const TFileStamp&) const = default;
};

// A regular file opened for reading; others may read it but not write it
// while open.
class TReadFile {
public:
    // Raises EFOpenError naming fileName's full path, also when fileName is
    // not a regular file (a folder, a pipe, a device): such a file has no
    // size to trust and may never end.
    explicit TReadFile(const std::string& fileName);
    ~TReadFile();
    TReadFile(const TReadFile&) = delete;
    TReadFile& operator=(const TReadFile&) = delete;

    TFileStamp Stamp() const;
    // Back to the first byte, for another pass over the same file.
    void Rewind();
    // Raises EFileChanged naming the file when its stamp is no longer before.
    void CheckUnchanged(const TFileStamp& before) const;
    // Reads up to count bytes; returns how many were read, 0 at the end.
    // A read error raises EReadError.
    int64_t Read(void* buffer, int64_t count);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string fileName_;
};

// The system-text part of EFOpenError for a name that is not a regular file.
inline constexpr const char* kNotARegularFile = "Not a regular file";

// The system-text part of EFCreateError for a target that is read-only
// (Windows' read-only attribute; on POSIX no write permission for anyone).
inline constexpr const char* kReadOnlyFile = "The file is read-only";

// The system-text part of EFCreateError when the file system would not take
// back the temporary file's delete-on-close mark, which a rename would have
// handed on to the new file.
inline constexpr const char* kDeleteMarkStuck =
    "The drive would not keep the new file; the old one is unchanged";

// Writes size bytes as the whole content of fileName, created or replaced.
// A regular file (or a new one) is replaced in one step once the new content
// is complete and flushed, a symbolic link by what it points to, keeping the
// old file's permissions or attributes; no temporary file outlives a
// failure, Ctrl+C or a closed console, nor a kill where the system can
// remove it itself (an unnamed file, the delete-on-close mark). A device, a pipe or an open file of the process named
// through /proc/self/fd is written straight, and so is a writable file whose
// folder refuses new files (then not in one step). Raises EFCreateError
// naming fileName's full path when that fails, with fileName exactly as it
// was; a read-only target is refused.
void WriteWholeFile(const std::string& fileName, const uint8_t* data, int64_t size);

// A fresh name for the temporary file beside the file named targetName
// (its name part) that it replaces: ".~", the target's name (its first 64
// bytes, whole characters), ".", 8 hexadecimal digits, ".tmp", so that one
// left behind tells what it was for.
std::string TemporaryName(std::string_view targetName);

// Windows error codes of a rename over a file that another program holds
// open (access denied, sharing and lock violations), which is tried again.
bool HeldByAnother(uint32_t windowsCode);

// Whether the delete-on-close mark of a temporary file can be taken back
// before the rename on a volume of this file system (Windows' own name for
// it) and kind: only the file systems Windows itself ships, on a local fixed
// drive. Network redirectors and other drivers may accept the mark and not
// let it go, and the rename would then hand the mark on to the new file.
bool DeleteMarkTakenBack(std::string_view fileSystem, bool localFixedDrive);

// A file's identity as Windows gives it: the volume's serial number and the
// 128-bit file id, either of which is zero where a file system keeps none.
struct TFileId {
    uint64_t volume = 0;
    std::array<uint8_t, 16> id{};
};

// Whether a and b are one file by their identities; nothing when either is
// unknown, and the files' paths must decide.
std::optional<bool> SameById(const TFileId& a, const TFileId& b);

// Whether both names stand for one existing file (also through links or
// other names of it).
bool SameFile(const std::string& a, const std::string& b);

#if defined(_WIN32)
// How the temporary file of a replacement is kept from outliving the
// program: as the drive allows; for tests, a named file whatever the drive,
// or the mark with its taking back failing as some drivers make it fail.
enum class TTemporaryKind { byDrive, named, markStuck };
void SetTemporaryKindForTest(TTemporaryKind kind);
#endif

// fileName made into a full path as the system would resolve it (relative to
// the current folder, "." and ".." folded); unchanged when that fails. File
// failures name this path.
std::string ExpandFileName(const std::string& fileName);

// The last error code of the calling thread (GetLastError / errno).
uint32_t LastOSError();

// The system's text for an error code, with every trailing blank, control
// character and full stop removed; empty when the system has no text. Its
// inserts ("%1") are filled with insert, or removed when it is empty.
std::string SysErrorMessage(uint32_t code, std::string_view insert = {});

// text with every insert of a system message ("%1" to "%99", also with a
// format such as "%1!s!") replaced by value; with an empty value the insert
// goes with the quotes around it and the blank it would leave double, and a
// sentence it began starts with a capital. Portable, for Windows' texts.
std::string FillInserts(std::string_view text, std::string_view value);

// Trims what SysErrorMessage removes (portable, for both platforms' texts).
std::string TrimErrorText(std::string text);

}  // namespace rt

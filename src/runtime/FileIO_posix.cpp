// POSIX files. Shared reading is advisory here: a shared flock keeps
// cooperating writers out while the file is open.
#include "runtime/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <optional>
#include <system_error>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/Exceptions.h"

namespace rt {

struct TReadFile::Impl {
    int fd = -1;
};

TReadFile::TReadFile(const std::string& fileName) : impl_(std::make_unique<Impl>()), fileName_(fileName) {
    // Non-blocking, so that a pipe without a writer does not hold the open up.
    impl_->fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (impl_->fd < 0) {
        const uint32_t code = LastOSError();
        throw EFOpenError(ExpandFileName(fileName), SysErrorMessage(code), code);
    }
    struct stat st {};
    if (::fstat(impl_->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool folder = S_ISDIR(st.st_mode);
        ::close(impl_->fd);
        impl_->fd = -1;
        if (folder) throw EFOpenError(ExpandFileName(fileName), SysErrorMessage(EISDIR), EISDIR);
        throw EFOpenError(ExpandFileName(fileName), kNotARegularFile);
    }
    ::fcntl(impl_->fd, F_SETFL, ::fcntl(impl_->fd, F_GETFL) & ~O_NONBLOCK);
    ::flock(impl_->fd, LOCK_SH | LOCK_NB);
}

TReadFile::~TReadFile() {
    if (impl_->fd >= 0) ::close(impl_->fd);
}

TFileStamp TReadFile::Stamp() const {
    struct stat st {};
    if (::fstat(impl_->fd, &st) != 0) throw EReadError();
    return {static_cast<int64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

void TReadFile::Rewind() {
    if (::lseek(impl_->fd, 0, SEEK_SET) != 0) throw EReadError();
}

int64_t TReadFile::Read(void* buffer, int64_t count) {
    for (;;) {
        const ssize_t n = ::read(impl_->fd, buffer, static_cast<size_t>(count));
        if (n >= 0) return n;
        if (errno != EINTR) throw EReadError();
    }
}

namespace {

[[noreturn]] void CannotCreate(const std::string& fileName, uint32_t code) {
    throw EFCreateError(ExpandFileName(fileName), SysErrorMessage(code), code);
}

// Where a chain of symbolic links ends (a link's relative target read from
// the link's own folder): the name itself when it is no link. A link kept
// by /proc (/proc/self/fd/N, and /dev/stdout or /dev/fd/N that lead there)
// stands for a file the process holds open, whose link text may name
// nothing at all ("pipe:[N]"): the chain stops there, marked.
struct TLinkEnd {
    std::string path;
    bool inProc = false;
};

TLinkEnd FollowLinks(const std::string& fileName) {
    namespace fs = std::filesystem;
    fs::path path = fileName;
    std::error_code failed;
    for (int hops = 0; hops < 40; ++hops) {
        if (!fs::is_symlink(fs::symlink_status(path, failed))) break;
        const fs::path folder = fs::canonical(fs::absolute(path, failed).parent_path(), failed);
        if (!failed && folder.string().rfind("/proc/", 0) == 0) return {path.string(), true};
        const fs::path target = fs::read_symlink(path, failed);
        if (failed) break;
        path = path.parent_path() / target;  // an absolute target stands alone
    }
    return {path.string(), false};
}

// Writes all bytes; 0 or the error code. With startWriteback, each chunk
// is sent on its way to the disk as soon as it is written, so the fsync that
// follows waits for the tail only instead of the whole file.
uint32_t WriteAll(int fd, const uint8_t* data, int64_t size, bool startWriteback = false) {
    constexpr int64_t kChunk = 4 << 20;
    int64_t done = 0;
    while (done < size) {
        const int64_t want = startWriteback ? std::min(kChunk, size - done) : size - done;
        const ssize_t n = ::write(fd, data + done, static_cast<size_t>(want));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return LastOSError();
        if (n == 0) return ENOSPC;
#if defined(__linux__)
        if (startWriteback) ::sync_file_range(fd, done, n, SYNC_FILE_RANGE_WRITE);
#endif
        done += n;
    }
    return 0;
}

// A device or a pipe is written as it is: it cannot be replaced, and
// removing it would lose it. So is a file whose folder takes no temporary
// file.
void WriteStraight(const std::string& fileName, const uint8_t* data, int64_t size) {
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) CannotCreate(fileName, LastOSError());
    uint32_t code = WriteAll(fd, data, size);
    if (::close(fd) != 0 && code == 0) code = LastOSError();
    if (code != 0) CannotCreate(fileName, code);
}

// Holds back the signals that end a program from a terminal or a session
// while a named temporary file exists, so that it is always removed first.
class TSignalsHeld {
public:
    TSignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held, s);
        ::pthread_sigmask(SIG_BLOCK, &held, &before_);
    }
    ~TSignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    TSignalsHeld(const TSignalsHeld&) = delete;
    TSignalsHeld& operator=(const TSignalsHeld&) = delete;

private:
    sigset_t before_{};
};

// A file without a name in folder (which ends in "/" or is empty), or -1
// where the system or the file system has none, or where no /proc gives it
// a name later.
int UnnamedFile(const std::string& folder) {
#if defined(O_TMPFILE)
    if (::access("/proc/self/fd", F_OK) != 0) return -1;
    return ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#else
    (void)folder;
    return -1;
#endif
}

// A new file of a fresh temporary name beside target in folder, its name in
// temp; with an fd from UnnamedFile the name is given to that file, else a
// file is made. 0 or the error code.
uint32_t NameTemporary(const std::string& folder, std::string_view target, int& fd, std::string& temp) {
    const std::string self = fd >= 0 ? "/proc/self/fd/" + std::to_string(fd) : std::string();
    for (uint32_t attempt = 0; attempt < 100; ++attempt) {
        temp = folder + TemporaryName(target.substr(folder.size()));
        if (fd >= 0) {
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
        } else {
            fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) return 0;
        }
        if (errno != EEXIST) return LastOSError();
    }
    return EEXIST;
}

}  // namespace

void WriteWholeFile(const std::string& fileName, const uint8_t* data, int64_t size) {
    // The system follows every link, those of /proc too, and names a loop.
    struct stat st {};
    const bool exists = ::stat(fileName.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) CannotCreate(fileName, LastOSError());
    if (exists && !S_ISREG(st.st_mode)) return WriteStraight(fileName, data, size);
    // A link stays and what it points to is replaced.
    const TLinkEnd link = FollowLinks(fileName);
    if (link.inProc) return WriteStraight(fileName, data, size);
    const std::string& target = link.path;
    // As Windows refuses a read-only file, also for an administrator.
    if (exists && (st.st_mode & 0222) == 0) throw EFCreateError(ExpandFileName(fileName), kReadOnlyFile);
    // Replacing goes by the folder's permissions: a file the writer may not
    // write stays protected, as it was when it was written in place.
    if (exists && ::access(target.c_str(), W_OK) != 0) CannotCreate(fileName, LastOSError());

    // The new content goes to a file of its own in the same folder and takes
    // the name in one step once it is complete and on the disk, so a failure
    // on the way leaves the target exactly as it was. The file has no name
    // until then where the system allows, so that nothing is left behind
    // even when the process is killed; else signals wait while it has one.
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string temp;
    int fd = UnnamedFile(folder);
    const bool unnamed = fd >= 0;
    std::optional<TSignalsHeld> held;
    if (!unnamed) {
        held.emplace();
        const uint32_t code = NameTemporary(folder, target, fd, temp);
        // A folder that takes no new file, over a file that may be written.
        if ((code == EACCES || code == EPERM) && exists) return WriteStraight(fileName, data, size);
        if (code != 0) CannotCreate(fileName, code);
    }
    if (exists) {
        // The replacement keeps the old file's permissions and, where allowed, its owner.
        ::fchmod(fd, st.st_mode & 07777);
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) errno = 0;  // not allowed: the writer owns it
    }
    uint32_t code = WriteAll(fd, data, size, true);
    if (code == 0 && ::fsync(fd) != 0) code = LastOSError();
    bool named = !unnamed;
    if (code == 0 && unnamed) {
        held.emplace();
        code = NameTemporary(folder, target, fd, temp);
        named = code == 0;
    }
    if (::close(fd) != 0 && code == 0) code = LastOSError();
    if (code == 0 && ::rename(temp.c_str(), target.c_str()) != 0) code = LastOSError();
    if (code != 0) {
        if (named) ::unlink(temp.c_str());
        CannotCreate(fileName, code);
    }
    held.reset();
    // The new name itself is on the disk once its folder is.
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::string ExpandFileName(const std::string& fileName) {
    if (fileName.empty()) return fileName;
    std::error_code failed;
    const std::filesystem::path full = std::filesystem::absolute(fileName, failed);
    if (failed) return fileName;
    return full.lexically_normal().string();
}

uint32_t LastOSError() {
    return static_cast<uint32_t>(errno);
}

std::string SysErrorMessage(uint32_t code, std::string_view /*insert*/) {
    if (code == 0) return {};
    char buffer[256];
    const char* text = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) return {};
    return TrimErrorText(text);
}

}  // namespace rt

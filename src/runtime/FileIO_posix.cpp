// POSIX files. Shared reading is advisory here: a shared flock keeps
// cooperating writers out while the file is open.
#include "runtime/FileIO.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <fcntl.h>
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
        throw EFOpenError(ExpandFileName(fileName), SysErrorMessage(code));
    }
    struct stat st {};
    if (::fstat(impl_->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const std::string text = S_ISDIR(st.st_mode) ? SysErrorMessage(EISDIR) : kNotARegularFile;
        ::close(impl_->fd);
        impl_->fd = -1;
        throw EFOpenError(ExpandFileName(fileName), text);
    }
    ::fcntl(impl_->fd, F_SETFL, ::fcntl(impl_->fd, F_GETFL) & ~O_NONBLOCK);
    ::flock(impl_->fd, LOCK_SH | LOCK_NB);
}

TReadFile::~TReadFile() {
    if (impl_->fd >= 0) ::close(impl_->fd);
}

int64_t TReadFile::Size() const {
    return Stamp().size;
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
    throw EFCreateError(ExpandFileName(fileName), SysErrorMessage(code));
}
}  // namespace

void WriteWholeFile(const std::string& fileName, const uint8_t* data, int64_t size) {
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) CannotCreate(fileName, LastOSError());
    int64_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const uint32_t code = LastOSError();
            ::close(fd);
            ::unlink(fileName.c_str());
            CannotCreate(fileName, code);
        }
        done += n;
    }
    if (::close(fd) != 0) {
        const uint32_t code = LastOSError();
        ::unlink(fileName.c_str());
        CannotCreate(fileName, code);
    }
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

std::string SysErrorMessage(uint32_t code) {
    if (code == 0) return {};
    char buffer[256];
    const char* text = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) return {};
    return TrimErrorText(text);
}

}  // namespace rt

// Windows files through the wide API, so any path opens whatever the ANSI
// code page is.
#include "runtime/FileIO.h"

#include <windows.h>

#include "runtime/Exceptions.h"
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

}  // namespace

struct TReadFile::Impl {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

TReadFile::TReadFile(const std::string& fileName) : impl_(std::make_unique<Impl>()), fileName_(fileName) {
    impl_->handle = CreateFileW(Utf8ToUtf16(fileName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (impl_->handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        throw EFOpenError(ExpandFileName(fileName), SysErrorMessage(code));
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

int64_t TReadFile::Size() const {
    return Stamp().size;
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

void WriteWholeFile(const std::string& fileName, const uint8_t* data, int64_t size) {
    const std::wstring wide = Utf8ToUtf16(fileName);
    HANDLE h =
        CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        throw EFCreateError(ExpandFileName(fileName), SysErrorMessage(code));
    }
    int64_t done = 0;
    DWORD failure = 0;
    while (done < size && failure == 0) {
        DWORD written = 0;
        const DWORD want = static_cast<DWORD>(size - done < kMaxChunk ? size - done : kMaxChunk);
        if (!WriteFile(h, data + done, want, &written, nullptr) || written == 0)
            failure = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
        done += written;
    }
    if (!CloseHandle(h) && failure == 0) failure = GetLastError();
    if (failure != 0) {
        DeleteFileW(wide.c_str());
        throw EFCreateError(ExpandFileName(fileName), SysErrorMessage(failure));
    }
}

std::string ExpandFileName(const std::string& fileName) {
    if (fileName.empty()) return fileName;
    const std::wstring wide = Utf8ToUtf16(fileName);
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return fileName;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return fileName;
    full.resize(length);
    return Utf16ToUtf8(full);
}

uint32_t LastOSError() {
    return GetLastError();
}

std::string SysErrorMessage(uint32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (n != 0 && buffer != nullptr) text = Utf16ToUtf8(std::wstring_view(buffer, n));
    if (buffer != nullptr) LocalFree(buffer);
    return TrimErrorText(text);
}

}  // namespace rt

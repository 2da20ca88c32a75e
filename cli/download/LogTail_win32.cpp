#include "download/LogTail.h"

#include <windows.h>

#include <algorithm>

#include "runtime/Utf16.h"

std::string ReadLogFrom(const std::string& fileName, uint64_t offset) {
    // Shared every way: writers keep appending meanwhile.
    const HANDLE file =
        CreateFileW(rt::FileCallName(fileName).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string bytes;
    LARGE_INTEGER size{}, at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (GetFileSizeEx(file, &size) && static_cast<uint64_t>(size.QuadPart) > offset &&
        SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        try {
            bytes.resize(static_cast<size_t>(static_cast<uint64_t>(size.QuadPart) - offset));
        } catch (...) {
            bytes.clear();
        }
        DWORD read = 0;
        size_t filled = 0;
        while (filled < bytes.size() &&
               ReadFile(file, bytes.data() + filled, static_cast<DWORD>(std::min<size_t>(bytes.size() - filled, 1 << 24)),
                        &read, nullptr) &&
               read > 0)
            filled += read;
        bytes.resize(filled);
    }
    CloseHandle(file);
    return bytes;
}

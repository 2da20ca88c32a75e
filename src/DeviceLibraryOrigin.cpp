#include "DeviceLibraryOrigin.h"

#include <windows.h>

#include <vector>

namespace {

// A call that fills a buffer and returns the length it needs when the buffer
// is too small, as the path calls of Windows do.
template <class Call>
std::wstring GrowingCall(Call call) {
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = call(text.data(), static_cast<DWORD>(text.size()));
        if (n == 0) return {};
        if (n < text.size()) return text.substr(0, n);
        text.resize(n > text.size() ? n : text.size() * 2);
    }
}

// A drive's root keeps its separator: "C:" alone is that drive's current folder.
std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return {};
    return path.substr(0, slash == 2 && path[1] == L':' ? 3 : slash);
}

// One spelling per folder: full, long names, no separator at the end.
std::wstring Normalized(const std::wstring& folder) {
    if (folder.empty()) return folder;
    std::wstring full =
        GrowingCall([&](wchar_t* b, DWORD n) { return GetFullPathNameW(folder.c_str(), n, b, nullptr); });
    if (full.empty()) full = folder;
    const std::wstring longName =
        GrowingCall([&](wchar_t* b, DWORD n) { return GetLongPathNameW(full.c_str(), b, n); });
    if (!longName.empty()) full = longName;
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    return full;
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && !b.empty() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// The folders of the standard search besides the current one: the program's,
// the system's (also the 32-bit one of 64-bit Windows and the 16-bit one),
// Windows' own, and PATH's.
std::vector<std::wstring> TrustedFolders() {
    std::vector<std::wstring> folders;
    folders.push_back(
        FolderOf(GrowingCall([](wchar_t* b, DWORD n) { return GetModuleFileNameW(nullptr, b, n); })));
    folders.push_back(GrowingCall([](wchar_t* b, DWORD n) { return GetSystemDirectoryW(b, n); }));
    folders.push_back(GrowingCall([](wchar_t* b, DWORD n) { return GetSystemWow64DirectoryW(b, n); }));
    const std::wstring windows = GrowingCall([](wchar_t* b, DWORD n) { return GetWindowsDirectoryW(b, n); });
    folders.push_back(windows);
    if (!windows.empty()) folders.push_back(windows + L"\\System");
    const std::wstring path =
        GrowingCall([](wchar_t* b, DWORD n) { return GetEnvironmentVariableW(L"PATH", b, n); });
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L';', start);
        if (end == std::wstring::npos) end = path.size();
        std::wstring entry = path.substr(start, end - start);
        if (entry.size() >= 2 && entry.front() == L'"' && entry.back() == L'"')
            entry = entry.substr(1, entry.size() - 2);
        // A relative entry (".") names whatever folder is current: no trust.
        const bool absolute =
            (entry.size() >= 3 && entry[1] == L':' && (entry[2] == L'\\' || entry[2] == L'/')) ||
            entry.rfind(L"\\\\", 0) == 0;
        if (absolute) folders.push_back(entry);
        start = end + 1;
    }
    return folders;
}

}  // namespace

std::wstring DeviceLibraryFromStartFolder() {
    const HMODULE library = GetModuleHandleW(L"DFU.dll");
    if (library == nullptr) return {};
    const std::wstring path =
        GrowingCall([&](wchar_t* b, DWORD n) { return GetModuleFileNameW(library, b, n); });
    const std::wstring folder = Normalized(FolderOf(path));
    const std::wstring current =
        Normalized(GrowingCall([](wchar_t* b, DWORD n) { return GetCurrentDirectoryW(n, b); }));
    if (!SameFolder(folder, current)) return {};
    for (const std::wstring& trusted : TrustedFolders())
        if (SameFolder(folder, Normalized(trusted))) return {};
    return path;
}

std::wstring StartFolderLibraryText(const std::wstring& path) {
    return L"Библиотека DFU.dll взята не из папки программы, а из папки, откуда программа запущена:\n" +
           path +
           L"\n\nЭто может быть чужая библиотека (например, имитация прибора из демонстрационной папки), "
           L"и прошивка не попадёт в прибор. Программа закрывается.\n\n"
           L"Положите DFU.dll прибора в папку программы, рядом с loader.exe, и запустите программу снова.";
}

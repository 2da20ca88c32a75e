#include "device/LibraryFolders.h"

#include <algorithm>

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool IsAbsolute(std::wstring_view entry) {
    const bool drive = entry.size() >= 3 && entry[1] == L':' && IsSeparator(entry[2]);
    const bool share = entry.size() >= 2 && IsSeparator(entry[0]) && IsSeparator(entry[1]);
    return drive || share;
}

// "C:\" keeps its separator: "C:" alone is that drive's current folder.
std::wstring_view WithoutTrailingSeparators(std::wstring_view folder) {
    const size_t root = folder.size() >= 2 && folder[1] == L':' ? 3 : 2;
    while (folder.size() > root && IsSeparator(folder.back())) folder.remove_suffix(1);
    return folder;
}

}  // namespace

std::vector<std::wstring> AbsolutePathFolders(std::wstring_view path) {
    std::vector<std::wstring> folders;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L';', start);
        if (end == std::wstring_view::npos) end = path.size();
        std::wstring_view entry = path.substr(start, end - start);
        if (entry.size() >= 2 && entry.front() == L'"' && entry.back() == L'"')
            entry = entry.substr(1, entry.size() - 2);
        if (IsAbsolute(entry)) {
            // The search for a library's dependencies in its own folder needs backslashes.
            std::wstring folder(WithoutTrailingSeparators(entry));
            std::replace(folder.begin(), folder.end(), L'/', L'\\');
            folders.push_back(std::move(folder));
        }
        start = end + 1;
    }
    return folders;
}

std::wstring InFolder(std::wstring_view folder, std::wstring_view name) {
    std::wstring path(folder);
    if (!path.empty() && !IsSeparator(path.back())) path += L'\\';
    return path.append(name);
}

#include "runtime/FileName.h"

namespace rt {

namespace {
size_t NameStart(std::string_view path) {
    const size_t sep = path.find_last_of("\\/:");
    return sep == std::string_view::npos ? 0 : sep + 1;
}
}  // namespace

std::string_view ExtractFileName(std::string_view path) {
    return path.substr(NameStart(path));
}

std::string_view ExtractFileExt(std::string_view path) {
    const size_t start = NameStart(path);
    const size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot < start) return {};
    return path.substr(dot);
}

std::wstring LongPathForm(std::wstring_view fullPath) {
    const auto separator = [&](size_t i) {
        return i < fullPath.size() && (fullPath[i] == L'\\' || fullPath[i] == L'/');
    };
    const auto letter = [](wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); };
    std::wstring out(fullPath);
    if (fullPath.size() <= kLongestPlainPath) return out;
    const bool share = separator(0) && separator(1);
    if (share && fullPath.size() > 2 && (fullPath[2] == L'?' || fullPath[2] == L'.') && separator(3))
        return out;
    const bool drive = fullPath.size() > 2 && letter(fullPath[0]) && fullPath[1] == L':' && separator(2);
    if (!share && !drive) return out;
    for (wchar_t& c : out)
        if (c == L'/') c = L'\\';
    return share ? out.replace(0, 2, L"\\\\?\\UNC\\") : out.insert(0, L"\\\\?\\");
}

std::wstring PlainPathForm(std::wstring_view path) {
    constexpr std::wstring_view kLong = L"\\\\?\\", kShare = L"\\\\?\\UNC\\";
    if (path.substr(0, kShare.size()) == kShare) return L"\\\\" + std::wstring(path.substr(kShare.size()));
    const bool drive = path.size() > kLong.size() + 1 && path[kLong.size() + 1] == L':';
    return std::wstring(path.substr(path.substr(0, kLong.size()) == kLong && drive ? kLong.size() : 0));
}

std::wstring FileCallForm(std::wstring_view given, std::wstring_view fullPath) {
    return fullPath.size() <= kLongestPlainPath ? std::wstring(given) : LongPathForm(fullPath);
}

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

}  // namespace rt

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

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

}  // namespace rt

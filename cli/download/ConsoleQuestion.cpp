#include "download/ConsoleQuestion.h"

#include <algorithm>
#include <array>

bool IsYesAnswer(std::string_view utf8) {
    const size_t first = utf8.find_first_not_of(" \t");
    if (first == std::string_view::npos) return false;
    const std::string_view word = utf8.substr(first);
    constexpr std::array<std::string_view, 4> kYes = {"y", "Y", "д", "Д"};
    return std::any_of(kYes.begin(), kYes.end(), [&](std::string_view yes) { return word.starts_with(yes); });
}

bool IsEndOfInput(std::string_view line) {
    return line.substr(0, line.find_first_of("\r\n")) == "\x1a";
}

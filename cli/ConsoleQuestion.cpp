#include "ConsoleQuestion.h"

#include <algorithm>
#include <array>
#include <string>

bool IsYesAnswer(std::string_view utf8) {
    const size_t first = utf8.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return false;
    const std::string_view word = utf8.substr(first, utf8.find_last_not_of(" \t\r\n") - first + 1);
    std::string lower;
    for (size_t i = 0; i < word.size(); ++i) {
        const char c = word[i];
        if (c >= 'A' && c <= 'Z') {
            lower += static_cast<char>(c - 'A' + 'a');
        } else if (word.substr(i, 2) == "Д") {  // the capitals of д and а
            lower += "д";
            ++i;
        } else if (word.substr(i, 2) == "А") {
            lower += "а";
            ++i;
        } else {
            lower += c;
        }
    }
    constexpr std::array<std::string_view, 4> kYes = {"y", "yes", "д", "да"};
    return std::find(kYes.begin(), kYes.end(), lower) != kYes.end();
}

#include "runtime/FileIO.h"

#include <cstring>
#include <random>

#include "runtime/Convert.h"
#include "runtime/Exceptions.h"

namespace rt {

void TReadFile::CheckUnchanged(const TFileStamp& before) const {
    if (Stamp() != before) throw EFileChanged(ExpandFileName(fileName_));
}

std::string TemporaryName() {
    static std::random_device seed;
    static std::mt19937 numbers(seed());
    return ".~" + IntToHex(numbers(), 8) + ".tmp";
}

std::string TrimErrorText(std::string text) {
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.back());
        if (c <= ' ' || c == '.' || c == 0x7F)
            text.pop_back();
        else
            break;
    }
    return text;
}

std::string FillInserts(std::string_view text, std::string_view value) {
    std::string out;
    size_t i = 0;
    bool raise = false;
    while (i < text.size()) {
        if (text[i] != '%' || i + 1 >= text.size() || text[i + 1] < '1' || text[i + 1] > '9') {
            out += text[i++];
            continue;
        }
        // %1 to %99, perhaps with a format: %1!s!
        size_t end = i + 2;
        if (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end < text.size() && text[end] == '!') {
            const size_t close = text.find('!', end + 1);
            if (close != std::string_view::npos) end = close + 1;
        }
        i = end;
        if (!value.empty()) {
            out += value;
            continue;
        }
        // Removed with the quotes around it and the blank it leaves double.
        if (!out.empty() && (out.back() == '"' || out.back() == '\'') && i < text.size() &&
            text[i] == out.back()) {
            out.pop_back();
            ++i;
        }
        if (out.empty() || (i < text.size() && std::strchr(" .,:;)", text[i]) != nullptr) || i == text.size())
            while (!out.empty() && out.back() == ' ') out.pop_back();
        if (out.empty()) {
            while (i < text.size() && text[i] == ' ') ++i;
            raise = true;
        }
    }
    if (raise && !out.empty() && out[0] >= 'a' && out[0] <= 'z')
        out[0] = static_cast<char>(out[0] - 'a' + 'A');
    return out;
}

}  // namespace rt

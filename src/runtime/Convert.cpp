#include "runtime/Convert.h"

#include <array>

#include "runtime/Exceptions.h"

namespace rt {

namespace {

constexpr std::array<int8_t, 256> MakeDigitTable() {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<int8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<int8_t>(c - 'a' + 10);
    return t;
}
constexpr auto DigitTable = MakeDigitTable();

// Value of digits followed by suffix, or -1 when either holds a non-digit or
// the whole is empty or longer than 8 digits.
int64_t ParseHex(std::string_view digits, std::string_view suffix) {
    const size_t total = digits.size() + suffix.size();
    if (total == 0 || total > 8) return -1;
    uint32_t value = 0;
    for (std::string_view part : {digits, suffix}) {
        for (unsigned char c : part) {
            const int d = DigitTable[c];
            if (d < 0) return -1;
            value = (value << 4) | static_cast<uint32_t>(d);
        }
    }
    return value;
}

} // namespace

uint32_t HexTextToInt(std::string_view text) {
    int64_t v = -1;
    if (!text.empty() && text[0] == '$') v = ParseHex(text.substr(1), {});
    if (v < 0) throw EConvertError::InvalidInteger(std::string(text));
    return static_cast<uint32_t>(v);
}

uint32_t HexDigitsToInt(std::string_view digits, std::string_view suffix) {
    const int64_t v = ParseHex(digits, suffix);
    if (v < 0) {
        std::string text = "$";
        text.append(digits).append(suffix);
        throw EConvertError::InvalidInteger(text);
    }
    return static_cast<uint32_t>(v);
}

std::string IntToHex(uint64_t value, int minDigits) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    char buffer[16];
    int n = 0;
    do {
        buffer[n++] = Digits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    std::string out;
    if (minDigits > n) out.assign(static_cast<size_t>(minDigits - n), '0');
    while (n > 0) out.push_back(buffer[--n]);
    return out;
}

} // namespace rt

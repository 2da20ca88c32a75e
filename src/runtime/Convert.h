// Number conversions and hexadecimal formatting.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rt {

// Value of each hexadecimal digit (either case). Every other byte maps to
// kNotHexDigit, whose high nibble is set, so OR-ing the values of a field's
// characters flags any bad one.
inline constexpr uint8_t kNotHexDigit = 0xF0;

inline constexpr std::array<uint8_t, 256> kHexDigitTable = [] {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = kNotHexDigit;
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<uint8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<uint8_t>(c - 'a' + 10);
    return t;
}();

inline uint8_t HexDigitValue(char c) {
    return kHexDigitTable[static_cast<unsigned char>(c)];
}

// Reads "$" followed by 1 to 8 hexadecimal digits (either case) as an unsigned
// 32-bit value. Any other text, a lone "$", a sign, blanks or more than 8
// digits raise EConvertError "'<text>' is not a valid integer value".
uint32_t HexTextToInt(std::string_view text);

// HexTextToInt of "$" + digits + suffix, without building that text unless
// the conversion fails (the failure names it whole).
uint32_t HexDigitsToInt(std::string_view digits, std::string_view suffix = {});

// Bytes of a file's text, taken as Windows-1251 (the code page the image
// files are written in), as UTF-8; for failure texts that quote the file.
std::string AnsiToUtf8(std::string_view bytes);

// How many bytes the UTF-8 sequence that begins with lead announces, 1 to 4
// (1 for an ASCII or a stray continuation byte).
inline std::size_t Utf8SequenceLength(unsigned char lead) {
    return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
}

// Capital hexadecimal digits, no prefix, zero-padded to at least minDigits.
std::string IntToHex(uint64_t value, int minDigits = 4);

}  // namespace rt

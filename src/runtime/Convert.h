// Number conversions and hexadecimal formatting.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rt {

// Reads "$" followed by 1 to 8 hexadecimal digits (either case) as an unsigned
// 32-bit value. Any other text, a lone "$", a sign, blanks or more than 8
// digits raise EConvertError "'<text>' is not a valid integer value".
uint32_t HexTextToInt(std::string_view text);

// Like HexTextToInt for the digits alone (no "$" given): the failure text
// still names "$" followed by the digits and the suffix, as if the whole text
// "$" + digits + suffix had been converted. Used on hot paths to avoid building
// the text unless it fails.
uint32_t HexDigitsToInt(std::string_view digits, std::string_view suffix = {});

// Bytes of a file's text, taken as Windows-1251 (the code page the image
// files are written in), as UTF-8; for failure texts that quote the file.
std::string AnsiToUtf8(std::string_view bytes);

// Capital hexadecimal digits, no prefix, zero-padded to at least minDigits.
std::string IntToHex(uint64_t value, int minDigits = 4);

} // namespace rt

#include "runtime/Convert.h"

#include "runtime/Exceptions.h"

namespace rt {

namespace {

// Value of digits followed by suffix, or -1 when either holds a non-digit or
// the whole is empty or longer than 8 digits.
int64_t ParseHex(std::string_view digits, std::string_view suffix) {
    const size_t total = digits.size() + suffix.size();
    if (total == 0 || total > 8) return -1;
    uint32_t value = 0;
    for (std::string_view part : {digits, suffix}) {
        for (char c : part) {
            const uint8_t d = HexDigitValue(c);
            if (d == kNotHexDigit) return -1;
            value = (value << 4) | d;
        }
    }
    return value;
}

}  // namespace

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

std::string AnsiToUtf8(std::string_view bytes) {
    static constexpr uint16_t kUpper[128] = {
        0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
        0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
        0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
        0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
        0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
        0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
        0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
        0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
        0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
        0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F};
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char b : bytes) {
        const uint32_t cp = b < 0x80 ? b : kUpper[b - 0x80];
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::string IntToHex(uint64_t value, int minDigits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    char buffer[16];
    int n = 0;
    do {
        buffer[n++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    std::string out;
    if (minDigits > n) out.assign(static_cast<size_t>(minDigits - n), '0');
    while (n > 0) out.push_back(buffer[--n]);
    return out;
}

}  // namespace rt

// The record side of the Intel HEX converter: what one line holds as the
// window reads it, and the window's failure for a line it cannot read.
// Header-only: it sits in the converter's innermost loop; fwimage check reads
// records through the same reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/Convert.h"
#include "runtime/Exceptions.h"

namespace hexrecord {

// The window's failures: a field with a character that is not a
// hexadecimal digit, named as converted ("$", its characters, the suffix);
// a record shorter than what its type reads; data past the top address.
// Defined in HexRecord.cpp.
rt::EConvertError BadFieldError(std::string_view field, std::string_view suffix);
[[noreturn]] void BadField(std::string_view field, std::string_view suffix);
[[noreturn]] void Truncated(uint64_t lineNumber);
[[noreturn]] void PastTop(uint64_t lineNumber);

template <std::size_t N>
inline uint32_t HexField(const char* p, std::string_view suffix = {}) {
    uint32_t value = 0;
    uint8_t seen = 0;
    for (std::size_t i = 0; i < N; ++i) {
        const uint8_t d = rt::HexDigitValue(p[i]);
        seen |= d;
        value = (value << 4) | d;
    }
    if (seen & rt::kNotHexDigit) BadField(std::string_view(p, N), suffix);
    return value;
}

// Record types.
inline constexpr uint32_t kData = 0x00;
inline constexpr uint32_t kEndOfFile = 0x01;
inline constexpr uint32_t kSegmentBase = 0x02;   // extended segment address
inline constexpr uint32_t kStartSegment = 0x03;  // start segment address
inline constexpr uint32_t kLinearBase = 0x04;    // extended linear address
inline constexpr uint32_t kStartLinear = 0x05;   // start linear address

struct TRecord {
    uint32_t type;
    uint32_t count;
    // Data records only: absolute addresses [start, end) and the data pairs.
    uint32_t start;
    uint64_t end;
    const char* data;
};

// Reads record lines in file order, carrying the base from the address
// records to the data records after them.
class TReader {
public:
    // False for a line that is not a record.
    bool Read(const char* s, std::size_t n, uint64_t lineNumber, TRecord& record) {
        if (n == 0 || s[0] != ':') return false;
        if (n < 9) Truncated(lineNumber);
        record.count = HexField<2>(s + 1);
        record.type = HexField<2>(s + 7);
        switch (record.type) {
        case kData: {
            const uint32_t address = HexField<4>(s + 3);
            if (n < 9 + 2 * std::size_t{record.count}) Truncated(lineNumber);
            // The base is at most 0xFFFF0000 or 0xFFFF0, so adding a 16-bit
            // address never wraps; only the end can pass the top.
            record.start = base_ + address;
            record.end = uint64_t{record.start} + record.count;
            if (record.end > (uint64_t{1} << 32)) PastTop(lineNumber);
            record.data = s + 9;
            break;
        }
        case kSegmentBase:
            if (n < 13) Truncated(lineNumber);
            base_ = HexField<4>(s + 9, "0") << 4;
            break;
        case kLinearBase:
            if (n < 13) Truncated(lineNumber);
            base_ = HexField<4>(s + 9, "0000") << 16;
            break;
        default:  // end of file, start addresses and unknown types change nothing
            break;
        }
        return true;
    }

    // The base the data records after the last address record get.
    uint32_t Base() const { return base_; }

private:
    uint32_t base_ = 0;
};

}  // namespace hexrecord

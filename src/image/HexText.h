// The text side of the Intel HEX converter: splitting the file's text into
// lines across read blocks, and decoding runs of hexadecimal pairs several at
// a time. Header-only: both sit in the converter's innermost loops.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "runtime/Convert.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hextext {

// No record reads past this many characters of its line: mark, byte count,
// address, type and 255 data pairs. Longer lines crossing a block boundary
// are carried only this far, so one huge line cannot run memory up.
constexpr std::size_t kLongestRecord = 9 + 2 * 255;

// Carried this far, a line still shows its checksum and whether anything
// follows it, which fwimage check reports.
constexpr std::size_t kLongestCarried = kLongestRecord + 3;

// Bytes read at a time.
inline constexpr std::size_t kDefaultBlockSize = 256 * 1024;

#if defined(__SSE2__)
// Sixteen hexadecimal characters to eight bytes at once; false, storing
// nothing, when any character is not a digit.
inline bool DecodeEight(const char* in, uint8_t* out) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    // Unsigned range tests: x - low lies in [0, span] when x is in range.
    const __m128i digit = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
    const __m128i letter = _mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
    if (_mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)) != 0xFFFF) return false;
    const __m128i nibbles = _mm_or_si128(_mm_and_si128(isDigit, digit),
                                         _mm_and_si128(isLetter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
    // Each 16-bit lane holds a pair: high digit in its low byte, low digit above.
    const __m128i pairs = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0x00FF)), 4),
                                       _mm_srli_epi16(nibbles, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(pairs, pairs));
    return true;
}
#endif

// Eight hexadecimal characters to four bytes at once (little-endian word
// order); false, storing nothing, when any character is not a digit.
inline bool DecodeFour(const char* in, uint8_t* out) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighs = kOnes * 0x80;
    uint64_t w;
    std::memcpy(&w, in, 8);
    if (w & kHighs) return false;
    // Per byte, high bit set when the byte is at least n; bytes are below
    // 0x80 here, so setting their high bit first keeps borrows inside them.
    auto atLeast = [&](uint64_t x, uint8_t n) { return ((x | kHighs) - kOnes * n) & kHighs; };
    const uint64_t digit = atLeast(w, '0') & ~atLeast(w, '9' + 1);
    const uint64_t lower = w | (kOnes * 0x20);
    const uint64_t letter = atLeast(lower, 'a') & ~atLeast(lower, 'f' + 1);
    if ((digit | letter) != kHighs) return false;
    // '0'-'9' end in their value, 'A'-'F' and 'a'-'f' in value - 9.
    const uint64_t nibbles = (w & (kOnes * 0x0F)) + (letter >> 7) * 9;
    // Pair the nibbles into bytes, one per 16-bit lane, then close the gaps.
    uint64_t v = ((nibbles & 0x00FF00FF00FF00FFULL) << 4) | ((nibbles >> 8) & 0x00FF00FF00FF00FFULL);
    v = (v | (v >> 8)) & 0x0000FFFF0000FFFFULL;
    v = (v | (v >> 16)) & 0x00000000FFFFFFFFULL;
    const uint32_t four = static_cast<uint32_t>(v);
    std::memcpy(out, &four, 4);
    return true;
}

// count hexadecimal pairs to bytes; returns how many were decoded before the
// first pair that is not one (count when all are).
inline std::size_t DecodePairs(const char* in, std::size_t count, uint8_t* out) {
    std::size_t j = 0;
#if defined(__SSE2__)
    for (; j + 8 <= count; j += 8, in += 16) {
        if (!DecodeEight(in, out + j)) break;  // the bytewise loop finds the bad pair
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        for (; j + 4 <= count; j += 4, in += 8) {
            if (!DecodeFour(in, out + j)) break;  // the bytewise loop finds the bad pair
        }
    }
    for (; j < count; ++j, in += 2) {
        const uint8_t hi = rt::HexDigitValue(in[0]);
        const uint8_t lo = rt::HexDigitValue(in[1]);
        if ((hi | lo) & rt::kNotHexDigit) return j;
        out[j] = static_cast<uint8_t>((hi << 4) | lo);
    }
    return j;
}

// First byte in [p, end) that ends a line (CR, LF or NUL), or end.
inline const char* FindBreak(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i nul = _mm_setzero_si128();
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)), _mm_cmpeq_epi8(v, nul));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0) return p + std::countr_zero(mask);
        p += 16;
    }
#else
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighs = 0x8080808080808080ULL;
    // Eight bytes at a time: the word test flags any byte below 0x0E, which
    // covers all three breaks; a flagged word is then looked at byte by byte.
    while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        if (((w - kOnes * 0x0E) & ~w & kHighs) != 0) {
            for (int i = 0; i < 8; ++i) {
                const char c = p[i];
                if (c == '\n' || c == '\r' || c == '\0') return p + i;
            }
        }
        p += 8;
    }
#endif
    for (; p < end; ++p) {
        if (*p == '\n' || *p == '\r' || *p == '\0') return p;
    }
    return end;
}

// What a line held beyond the characters handed over: a line carried across
// read blocks is handed over only kLongestCarried characters far.
struct TLineRest {
    uint64_t Dropped = 0;
    bool Blanks = true;  // every dropped character is a blank or a tab
};

// Splits the text that read() yields into lines at CR, LF and CR LF, up to
// the first NUL, and hands each to line(text, length, lineNumber), numbered
// from 1; a line(text, length, lineNumber, rest) also learns what was
// dropped of a long line (TLineRest). read(buffer, count) returns the bytes it placed, 0 at the end.
// True when a NUL ended the text (after the line it ended).
template <class Read, class Line>
bool ForEachLine(Read&& read, std::size_t blockSize, Line&& line) {
    blockSize = std::max<std::size_t>(blockSize, 1);
    std::unique_ptr<char[]> block(new char[blockSize]);
    std::array<char, kLongestCarried> carry;
    std::size_t carried = 0;
    bool carrying = false;  // a line began in an earlier block
    bool skipLF = false;    // the last block ended with CR
    uint64_t lineNumber = 0;
    TLineRest rest;

    auto keep = [&](const char* from, const char* to) {
        const std::size_t n = std::min<std::size_t>(to - from, carry.size() - carried);
        std::memcpy(carry.data() + carried, from, n);
        carried += n;
        if (from + n < to) {
            rest.Dropped += static_cast<uint64_t>(to - from - n);
            if (rest.Blanks) rest.Blanks = std::all_of(from + n, to, [](char c) { return c == ' ' || c == '\t'; });
        }
    };
    auto emit = [&](const char* s, std::size_t n) {
        if constexpr (std::is_invocable_v<Line&, const char*, std::size_t, uint64_t, const TLineRest&>)
            line(s, n, ++lineNumber, rest);
        else
            line(s, n, ++lineNumber);
    };

    for (;;) {
        const int64_t got = read(block.get(), static_cast<int64_t>(blockSize));
        if (got <= 0) break;
        const char* p = block.get();
        const char* const end = p + got;
        if (skipLF) {
            skipLF = false;
            if (*p == '\n') ++p;
        }
        while (p < end) {
            const char* brk = FindBreak(p, end);
            if (brk == end) {
                keep(p, end);
                carrying = true;
                break;
            }
            if (carrying) {
                keep(p, brk);
                emit(carry.data(), carried);
                carrying = false;
                carried = 0;
                rest = {};
            } else {
                emit(p, static_cast<std::size_t>(brk - p));
            }
            const char c = *brk;
            p = brk + 1;
            if (c == '\0') return true;
            if (c == '\r') {
                if (p < end) {
                    if (*p == '\n') ++p;
                } else {
                    skipLF = true;
                }
            }
        }
    }
    if (carrying) emit(carry.data(), carried);
    return false;
}

}  // namespace hextext

// The Intel HEX converter: extent, image, failures, golden files.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "HexFile2BinMemoryStream.h"
#include "image/HexParse.h"
#include "TestSupport.h"
#include "runtime/Convert.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"

using testsupport::TempDir;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Contents(const rt::TMemoryStream& s) {
    if (s.Size() == 0) return {};
    return Bytes(s.Memory(), s.Memory() + s.Size());
}

// n bytes of 0xFF with the given bytes placed at their offsets.
Bytes Image(size_t n, std::initializer_list<std::pair<size_t, Bytes>> parts = {}) {
    Bytes b(n, 0xFF);
    for (const auto& [at, bytes] : parts) std::copy(bytes.begin(), bytes.end(), b.begin() + at);
    return b;
}

std::string Nul(const std::string& before, const std::string& after) {
    return before + '\0' + after;
}

// Block sizes that split lines, line breaks and CR LF pairs everywhere.
const size_t kBlockSizes[] = {1, 2, 3, 7, 64, hexparse::kDefaultBlockSize};

struct Conversion {
    const char* name;
    std::string text;
    uint32_t first;
    uint32_t length;
    Bytes image;
};

}  // namespace

TEST(HexConvert, ImagesAndExtents) {
    const std::string eof = ":00000001FF\r\n";
    const Conversion cases[] = {
        {"empty text", "", 0xFFFFFFFF, 1, {0xFF}},
        {"only end of file", eof, 0xFFFFFFFF, 1, {0xFF}},
        {"no record lines", "hello\r\nworld\n", 0xFFFFFFFF, 1, {0xFF}},
        {"gap between records", ":0400000001020304F2\r\n:0400100005060708D2\r\n" + eof, 0, 20,
         Image(20, {{0, {1, 2, 3, 4}}, {16, {5, 6, 7, 8}}})},
        {"linear base 0800", ":020000040800F2\n:02100000AABB89\n:01100400CC1F\n", 0x08001000, 5,
         Image(5, {{0, {0xAA, 0xBB}}, {4, {0xCC}}})},
        {"segment base 1000 is 0x10000", ":020000021000EC\n:0100050011E9\n", 0x10005, 1, {0x11}},
        {"linear base 0001 is 0x10000", ":020000040001F9\n:0100050011E9\n", 0x10005, 1, {0x11}},
        {"linear base 8000 is above 2 GiB", ":020000048000F9\n:0100050011E9\n", 0x80000005, 1, {0x11}},
        {"segment base FFFF", ":02000002FFFFFC\n:01FFFF0011F0\n", 0x10FFEF, 1, {0x11}},
        {"linear replaces segment", ":020000021000EC\n:020000040000FA\n:0100050011E9\n", 5, 1, {0x11}},
        {"segment replaces linear", ":020000040001F9\n:020000020000FC\n:0100050011E9\n", 5, 1, {0x11}},
        {"data before any base uses 0", ":0100020022DB\n:020000040001F9\n:0100000033CC\n", 2, 0xFFFF,
         Image(0xFFFF, {{0, {0x22}}, {0xFFFE, {0x33}}})},
        {"record across 64 KiB is not wrapped",
         ":020000040001F9\n:03FFFF00010203F9\n",
         0x1FFFF,
         3,
         {1, 2, 3}},
        {"zero-count record below data", ":00000800F8\n:02000A000102F1\n", 8, 4, Image(4, {{2, {1, 2}}})},
        {"only zero-count records", ":00123400BA\n:00123400BA\n", 0x1234, 0, {}},
        {"zero-count record at 0", ":00000000\n", 0, 0, {}},
        {"later record wins",
         ":0400000011223344\n:02000100AABB\n:01000300CC\n",
         0,
         4,
         {0x11, 0xAA, 0xBB, 0xCC}},
        {"records after end of file", eof + ":0100000042\n", 0, 1, {0x42}},
        {"small digits", ":02000004abcd00\n:02fffe00aabb00\n", 0xABCDFFFE, 2, {0xAA, 0xBB}},
        {"mixed case", ":02000004AbCd00\n:02fFfE00aAbB00\n", 0xABCDFFFE, 2, {0xAA, 0xBB}},
        {"skipped lines",
         "\xEF\xBB\xBF:0100000011\n\n  :0100000022\n; :0100000033\n:0100010044\n",
         1,
         1,
         {0x44}},
        {"CR breaks", ":0100000011\r:0100010022\r", 0, 2, {0x11, 0x22}},
        {"LF CR breaks", ":0100000011\n\r:0100010022\n\r", 0, 2, {0x11, 0x22}},
        {"no final break", ":0100000011\r\n:0100010022", 0, 2, {0x11, 0x22}},
        {"NUL ends the text", Nul(":0100000011\r\n:0100010022", ":0100020033\n:zz"), 0, 2, {0x11, 0x22}},
        {"NUL ends a line", Nul(":0100000011", ":zz"), 0, 1, {0x11}},
        {"checksum is not read", ":0100000011", 0, 1, {0x11}},
        {"wrong checksum is accepted", ":0100000011FF\n", 0, 1, {0x11}},
        {"text after the data is not read", ":0100000011 G;garbage\n", 0, 1, {0x11}},
        {"02/04 count and address are not used", ":FFzzzz040001\n:0100000011\n", 0x10000, 1, {0x11}},
        {"01/03/05 address is not read", ":00zzzz01\n:00zzzz03\n:00zzzz05\n:0100000011\n", 0, 1, {0x11}},
        {"other types do nothing", ":0100000611\n:020000140001E9\n:01000000FF\n", 0, 1, {0xFF}},
        {"end exactly at the top", ":02000004FFFFFC\n:02FFFE00AABB\n", 0xFFFFFFFE, 2, {0xAA, 0xBB}},
        {"last byte of the address space", ":02000004FFFFFC\n:01FFFF0042\n", 0xFFFFFFFF, 1, {0x42}},
        {"255 data bytes", ":FF000000" + std::string(510, '7') + "\n", 0, 255, Bytes(255, 0x77)},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t block : kBlockSizes) {
            SCOPED_TRACE("block " + std::to_string(block));
            const THexExtent e = hexparse::TextExtent(c.text, block);
            EXPECT_EQ(c.first, e.FirstAddress);
            EXPECT_EQ(c.length, e.Length);
            const auto s = hexparse::TextToStream(c.text, block);
            EXPECT_EQ(c.image, Contents(*s));
            EXPECT_EQ(0, s->Position());
            EXPECT_EQ(0, hexparse::ImageBufferLength());
        }
        const std::string path = dir.Path("case.hex");
        testsupport::WriteFile(path, c.text);
        const THexExtent e = HexFileExtent(path);
        EXPECT_EQ(c.first, e.FirstAddress);
        EXPECT_EQ(c.length, e.Length);
        const auto s = HexFileToStream(path);
        EXPECT_EQ(c.image, Contents(*s));
        EXPECT_EQ(0, s->Position());
    }
}

TEST(HexConvert, Failures) {
    struct Failure {
        const char* name;
        std::string text;
        const char* message;
        bool firstPass;  // also raised by the extent alone
    };
    const std::string top = ":02000004FFFFFC\r\n";
    const Failure cases[] = {
        {"byte count", ":1G00000000\n", "'$1G' is not a valid integer value", true},
        {"byte count before type", ":1G0000zz\n", "'$1G' is not a valid integer value", true},
        {"record type", ":0000000G\n", "'$0G' is not a valid integer value", true},
        {"blank in the byte count", ": 0000000\n", "'$ 0' is not a valid integer value", true},
        {"address", ":00000G00\n", "'$000G' is not a valid integer value", true},
        {"Windows-1251 letter quoted as such",
         ":01000000\xC6"
         "F\n",
         "'$\xD0\x96"
         "F' is not a valid integer value",
         false},
        {"address with sign", ":00-00100\n", "'$-001' is not a valid integer value", true},
        {"segment base", ":020000021G00\n", "'$1G000' is not a valid integer value", true},
        {"linear base", ":0200000412G4\n", "'$12G40000' is not a valid integer value", true},
        {"linear base small digits", ":02000004zz0f\n", "'$zz0f0000' is not a valid integer value", true},
        {"count of another type", ":0x000001\n", "'$0x' is not a valid integer value", true},
        {"data byte", ":0400000011223G44\n", "'$3G' is not a valid integer value", false},
        {"first bad data byte", ":03000000G1G2G3\n", "'$G1' is not a valid integer value", false},
        {"data byte after end of file", ":00000001FF\n:0100000011\n:01000100 1\n",
         "'$ 1' is not a valid integer value", false},
        {"header before data of the same file", ":01000000GG\n:0G\n", "Record at line 2 is truncated", true},
        {"lone mark", ":\n", "Record at line 1 is truncated", true},
        {"8 characters", ":0000000\n", "Record at line 1 is truncated", true},
        {"short line with a bad character", ":1G00\n", "Record at line 1 is truncated", true},
        {"segment base short", ":02000002100\n", "Record at line 1 is truncated", true},
        {"linear base short", ":0200000408\n", "Record at line 1 is truncated", true},
        {"fewer data pairs than counted", ":04000000010203\n", "Record at line 1 is truncated", true},
        {"half a data pair", ":040000000102030\n", "Record at line 1 is truncated", true},
        {"bad byte in a short record", ":04000000G1\n", "Record at line 1 is truncated", true},
        {"break inside the data", ":0400000001\r02030405\n", "Record at line 1 is truncated", true},
        {"NUL inside the data", Nul(":0400000001", "02030405\n"), "Record at line 1 is truncated", true},
        {"CR LF is one break", "x\r\n:0\r\n", "Record at line 2 is truncated", true},
        {"LF CR makes an empty line", "x\n\r:0\r\n", "Record at line 3 is truncated", true},
        {"CR CR makes an empty line", "x\r\r\n:0\r\n", "Record at line 3 is truncated", true},
        {"lines counted across the file", "\n\n\n\n\n\n\n\n\n\n\n:0\n", "Record at line 12 is truncated",
         true},
        {"past the top", top + ":02FFFF00AABB\n", "Record at line 2 runs past address FFFFFFFF", true},
        {"past the top by far", top + "\n:FFFFFF00" + std::string(510, '0') + "\n",
         "Record at line 3 runs past address FFFFFFFF", true},
        {"past the top before a bad data byte", top + ":02FFFF00GGGG\n",
         "Record at line 2 runs past address FFFFFFFF", true},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t block : kBlockSizes) {
            SCOPED_TRACE("block " + std::to_string(block));
            if (c.firstPass) {
                EXPECT_THROW_MSG(hexparse::TextExtent(c.text, block), rt::EConvertError, c.message);
            } else {
                EXPECT_NO_THROW(hexparse::TextExtent(c.text, block));
            }
            EXPECT_THROW_MSG(hexparse::TextToStream(c.text, block), rt::EConvertError, c.message);
        }
        const std::string path = dir.Path("case.hex");
        testsupport::WriteFile(path, c.text);
        EXPECT_THROW_MSG(HexFileToStream(path), rt::EConvertError, c.message);
    }
}

TEST(HexConvert, EveryCharacterAtEveryDataPosition) {
    // Data is decoded several pairs at a time: each place in a group must
    // take every digit and reject every other character, naming its own pair.
    const std::string digits = "0123456789ABCDEFabcdef";
    for (size_t at = 0; at < 18; ++at) {
        for (int c = 0; c < 256; ++c) {
            std::string data(18, '0');
            data[at] = static_cast<char>(c);
            const std::string text = ":09000000" + data + "\n";
            SCOPED_TRACE("char " + std::to_string(c) + " at " + std::to_string(at));
            const size_t digit = digits.find(static_cast<char>(c));
            if (digit != std::string::npos) {
                const uint8_t value =
                    static_cast<uint8_t>(std::stoi(std::string(1, static_cast<char>(c)), nullptr, 16));
                Bytes expected(9, 0);
                expected[at / 2] = static_cast<uint8_t>(at % 2 ? value : value << 4);
                EXPECT_EQ(expected, Contents(*hexparse::TextToStream(text)));
            } else if (c == '\r' || c == '\n' || c == '\0') {
                EXPECT_THROW_MSG(hexparse::TextToStream(text), rt::EConvertError,
                                 "Record at line 1 is truncated");
            } else {
                const std::string pair = data.substr(at / 2 * 2, 2);
                EXPECT_THROW_MSG(hexparse::TextToStream(text), rt::EConvertError,
                                 "'$" + rt::AnsiToUtf8(pair) + "' is not a valid integer value");
            }
        }
    }
}

TEST(HexConvert, ImageTooLargeIsOutOfMemory) {
    struct Case {
        const char* name;
        std::string text;
        uint32_t length;
    };
    const Case cases[] = {
        {"nearly 4 GiB", ":0100000011\n:02000004FFFFFC\n:01FF000022\n", 0xFFFFFF01},
        {"exactly 4 GiB wraps the extent to 0", ":0100000011\n:02000004FFFFFC\n:01FFFF0022\n", 0},
        {"just over 2 GiB", ":0100000011\n:020000048000F9\n:0100000022\n", 0x80000001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.length, hexparse::TextExtent(c.text).Length);
        EXPECT_THROW_MSG(hexparse::TextToStream(c.text), rt::EOutOfMemory, "Out of memory");
        EXPECT_EQ(0, hexparse::ImageBufferLength());
    }
}

// A 32-bit process has at most 2 GiB of address space: an image below the
// 2 GiB cap that still cannot be had is the allocator's "Out of memory", and
// the next conversion works.
TEST(HexConvert, ImageBeyondTheAddressSpaceOf32Bits) {
    if (sizeof(void*) != 4) GTEST_SKIP() << "a 64-bit process can map this much";
    const std::string text = ":0100000011\n:0200000470008A\n:0100000022\n";
    EXPECT_EQ(0x70000001u, hexparse::TextExtent(text).Length);
    EXPECT_THROW_MSG(hexparse::TextToStream(text), rt::EOutOfMemory, "Out of memory");
    EXPECT_EQ(1, hexparse::TextToStream(":0100000033\n")->Size());
}

TEST(HexConvert, MissingFile) {
    TempDir dir;
    const std::string path = dir.Path("absent.hex");
    const std::string message = rt::EFOpenError(path, rt::SysErrorMessage(ENOENT)).Message();
    EXPECT_THROW_MSG(HexFileExtent(path), rt::EFOpenError, message);
    EXPECT_THROW_MSG(HexFileToStream(path), rt::EFOpenError, message);
}

// Both passes read one open file. Where writers are not kept out (POSIX),
// a change in place between them, or during the first, is reported; a file renamed over the name
// is not seen. On Windows every change waits until the conversion is over.
TEST(HexConvert, InputChangedBetweenPasses) {
    TempDir dir;
    const std::string path = dir.Path("sw.hex");
    const std::string other = dir.Path("other.hex");
    const std::string a = ":0400000011223344\n";
    const Bytes aImage = {0x11, 0x22, 0x33, 0x44};
    const auto later = [&] {
        std::filesystem::last_write_time(path,
                                         std::filesystem::last_write_time(path) + std::chrono::seconds(10));
    };
    struct Case {
        const char* name;
        std::function<void()> change;  // null: none
        bool changed;                  // reported as changed where writers are not kept out
        bool duringFirstPass = false;  // else between the passes
    };
    const Case cases[] = {
        {"unchanged", nullptr, false},
        {"renamed over",
         [&] {
             testsupport::WriteFile(other, ":0400100055667788\n" + a);
             std::filesystem::rename(other, path);
         },
         false},
        {"longer", [&] { testsupport::WriteFile(path, a + ":0400100055667788\n"); }, true},
        {"shorter", [&] { testsupport::WriteFile(path, a.substr(0, 11) + "\n"); }, true},
        {"same size, other time",
         [&] {
             testsupport::WriteFile(path, ":0400000099887766\n");
             later();
         },
         true},
        {"a bad pair at the same size",
         [&] {
             testsupport::WriteFile(path, ":04000000112233GG\n");
             later();
         },
         true},
        {"cut short while the first pass reads",
         [&] { testsupport::WriteFile(path, a.substr(0, 11) + "\n"); }, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::WriteFile(path, a);
        const auto change = [&] {
            if (!c.change) return;
#if defined(_WIN32)
            EXPECT_THROW(c.change(), std::exception);
#else
            c.change();
#endif
        };
        const auto convert = [&] {
            return c.duringFirstPass ? hexparse::FileToStream(path, {}, change)
                                     : hexparse::FileToStream(path, change);
        };
#if defined(_WIN32)
        const bool changed = false;
#else
        const bool changed = c.changed;
#endif
        if (changed) {
            EXPECT_THROW_MSG(convert(), rt::EFileChanged, "File \"" + path + "\" changed while it was read");
        } else {
            EXPECT_EQ(aImage, Contents(*convert()));
        }
    }
}

TEST(HexConvert, FailedConversionLeavesNothingBehindForTheNext) {
    // The second pass writes line 1 into the buffer, then fails on line 2.
    const std::string bad = ":0400000011223344\n:01000800GG\n";
    EXPECT_THROW_MSG(hexparse::TextToStream(bad), rt::EConvertError, "'$GG' is not a valid integer value");
    EXPECT_EQ(9, hexparse::ImageBufferLength());  // kept until the next conversion

    // Same extent, without the bytes that the failed conversion stored.
    const auto s = hexparse::TextToStream(":0100080055\n:00000000\n");
    EXPECT_EQ(Image(9, {{8, {0x55}}}), Contents(*s));
    EXPECT_EQ(0, hexparse::ImageBufferLength());

    EXPECT_THROW(hexparse::TextToStream(bad), rt::EConvertError);
    FinalizeHexFile2BinMemoryStream();
    EXPECT_EQ(0, hexparse::ImageBufferLength());
    EXPECT_EQ(Bytes{0xFF}, Contents(*hexparse::TextToStream("")));
}

TEST(HexConvert, LinesLongerThanAReadBlock) {
    const std::string comment(3 * hexparse::kDefaultBlockSize + 5, 'c');
    const std::string tail(2 * hexparse::kDefaultBlockSize, 'z');
    const Bytes image = {0x12, 0x34, 0x56, 0x78};
    struct Case {
        const char* name;
        std::string text;
        const char* failure;
    };
    const Case cases[] = {
        {"text after the data", comment + "\r\n:020000001234\r\n:020002005678" + tail + "\n" + comment,
         nullptr},
        {"data pair in the long part", comment + "\r\n:0200000012345\r\n:0200020056" + tail + "\n",
         "'$zz' is not a valid integer value"},
        {"line numbers after long lines", comment + "\n" + comment + "\r\n:0\n",
         "Record at line 3 is truncated"},
    };
    TempDir dir;
    const std::string path = dir.Path("long.hex");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::WriteFile(path, c.text);
        for (size_t block : {size_t{5}, size_t{4096}, size_t{0}}) {
            SCOPED_TRACE(block);
            auto convert = [&] {
                return block == 0 ? HexFileToStream(path) : hexparse::TextToStream(c.text, block);
            };
            if (c.failure)
                EXPECT_THROW_MSG(convert(), rt::EConvertError, c.failure);
            else
                EXPECT_EQ(image, Contents(*convert()));
        }
    }
}

TEST(HexConvert, WideGapIsFilled) {
    // 16 MiB between two records.
    const std::string text = ":0100000011\n:020000040100F9\n:0100000022\n";
    const auto s = hexparse::TextToStream(text);
    ASSERT_EQ(0x1000001, s->Size());
    const uint8_t* m = s->Memory();
    EXPECT_EQ(0x11, m[0]);
    EXPECT_EQ(0x22, m[0x1000000]);
    size_t notFF = 0;
    for (int64_t i = 1; i < 0x1000000; ++i) notFF += m[i] != 0xFF;
    EXPECT_EQ(0u, notFF);
}

TEST(HexConvert, GoldenFiles) {
    const char* names[] = {"gap",         "linear_lf_lower", "segment_linear_cr",
                           "quirky_text", "dense_40k",       "top_of_memory",
                           "no_data"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const std::string hex = testsupport::DataPath(std::string("hex/") + name + ".hex");
        const Bytes expected =
            testsupport::ReadFile(testsupport::DataPath(std::string("hex/") + name + ".bin"));
        const auto s = HexFileToStream(hex);
        EXPECT_EQ(expected, Contents(*s));
        EXPECT_EQ(static_cast<uint32_t>(expected.size()), HexFileExtent(hex).Length);
    }
}

// The .lock scrambler: rotations, the byte transform, whole streams.
#include <fstream>
#include <random>
#include <set>
#include <vector>

#include "HexFile2BinMemoryStream.h"
#include "TestSupport.h"

using Bytes = std::vector<uint8_t>;

namespace {

void Fill(rt::TMemoryStream& s, const Bytes& bytes, int64_t position) {
    if (!bytes.empty()) s.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    s.SetPosition(position);
}

Bytes Contents(const rt::TMemoryStream& s) {
    if (s.Size() == 0) return {};
    return Bytes(s.Memory(), s.Memory() + s.Size());
}

ScrambleKey RandomKey(std::mt19937& rng) {
    ScrambleKey key;
    for (auto& k : key) k = static_cast<uint8_t>(rng());
    return key;
}

}  // namespace

TEST(Scramble, Rotations) {
    struct Case {
        uint8_t value, left, right;
    };
    const Case cases[] = {
        {0x00, 0x00, 0x00}, {0x01, 0x02, 0x80}, {0x80, 0x01, 0x40}, {0x81, 0x03, 0xC0},
        {0x55, 0xAA, 0xAA}, {0xAA, 0x55, 0x55}, {0xFF, 0xFF, 0xFF}, {0x12, 0x24, 0x09},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.left, RotateLeft1(c.value)) << int(c.value);
        EXPECT_EQ(c.right, RotateRight1(c.value)) << int(c.value);
    }
    for (int v = 0; v < 256; ++v) {
        const auto b = static_cast<uint8_t>(v);
        EXPECT_EQ(b, RotateRight1(RotateLeft1(b)));
        EXPECT_EQ(b, RotateLeft1(RotateRight1(b)));
    }
}

TEST(Scramble, KnownBytes) {
    struct Case {
        ScrambleKey key;
        uint8_t value, result;
    };
    const Case cases[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0}, 0x5A, 0x5A},
        {{0x01, 0, 0, 0, 0, 0, 0, 0}, 0x00, 0x01},  // key byte 0 comes last, after a right turn
        {{0, 0, 0, 0, 0, 0, 0, 0x01}, 0x00, 0x80},  // key byte 7 comes first and ends turned right
        {{0, 0, 0, 0, 0, 0, 0, 0x03}, 0x00, 0x81},
        {{0, 0x01, 0, 0, 0, 0, 0, 0}, 0x00, 0x80},
        {{0, 0, 0x01, 0, 0, 0, 0, 0}, 0x00, 0x01},
        {{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, 0x00, 0x44},
        {{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, 0xFF, 0xBB},
        {{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, 0x44, 0x00},
        {{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, 0xC3, 0xC3},  // keys that cancel out
    };
    for (const auto& c : cases) EXPECT_EQ(c.result, ScrambleByte(c.key, c.value)) << int(c.value);
}

TEST(Scramble, ByteTransformIsAnXorWithTheKeysMask) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        const ScrambleKey k = RandomKey(rng);
        const uint8_t mask =
            static_cast<uint8_t>(RotateRight1(k[1] ^ k[3] ^ k[5] ^ k[7]) ^ k[0] ^ k[2] ^ k[4] ^ k[6]);
        std::set<uint8_t> results;
        for (int v = 0; v < 256; ++v) {
            const auto b = static_cast<uint8_t>(v);
            const uint8_t r = ScrambleByte(k, b);
            ASSERT_EQ(static_cast<uint8_t>(b ^ mask), r);
            ASSERT_EQ(b, ScrambleByte(k, r));
            results.insert(r);
        }
        EXPECT_EQ(256u, results.size());
    }
}

TEST(Scramble, Streams) {
    std::mt19937 rng(11);
    const ScrambleKey key = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    Bytes big(100000);
    for (auto& b : big) b = static_cast<uint8_t>(rng());
    struct Case {
        const char* name;
        Bytes source;
        int64_t position;
    };
    const Case cases[] = {
        {"empty", {}, 0},
        {"one byte", {0x42}, 0},
        {"position at the end", {1, 2, 3, 1, 2, 3}, 6},
        {"position in the middle", {9, 8, 7, 6}, 2},
        {"position past the end", {0xFF, 0x00}, 50},
        {"large", big, 12345},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rt::TMemoryStream source;
        Fill(source, c.source, c.position);
        const auto result = ScrambleStream(source, key);
        ASSERT_TRUE(result);
        EXPECT_EQ(0, result->Position());
        EXPECT_EQ(static_cast<int64_t>(c.source.size()), source.Position());
        EXPECT_EQ(c.source, Contents(source));
        Bytes expected = c.source;
        for (auto& b : expected) b = ScrambleByte(key, b);
        EXPECT_EQ(expected, Contents(*result));

        const auto back = ScrambleStream(*result, key);
        EXPECT_EQ(c.source, Contents(*back));
    }
}

#if !defined(_WIN32)
// Free memory as the system reports it, in bytes; 0 when unknown.
int64_t AvailableMemory() {
    std::ifstream info("/proc/meminfo");
    std::string key, unit;
    int64_t kib = 0;
    while (info >> key >> kib >> unit)
        if (key == "MemAvailable:") return kib * 1024;
    return 0;
}
#endif

// An image of 4 GiB or more keeps every byte: its size is never cut to 32 bits.
TEST(Scramble, StreamOfMoreThan4GiB) {
    if (sizeof(void*) < 8) GTEST_SKIP() << "a 32-bit process cannot hold such a stream";
#if !defined(_WIN32)
    if (AvailableMemory() < (int64_t{8} << 30)) GTEST_SKIP() << "needs 8 GiB of free memory";
#endif
    const ScrambleKey key = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    constexpr int64_t kSize = (int64_t{1} << 32) + 16;
    rt::TMemoryStream source;
    source.SetSize(kSize);  // the bytes before the last 16 are never looked at
    const Bytes tail = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    source.SetPosition(kSize - 16);
    source.Write(tail.data(), 16);
    const auto result = ScrambleStream(source, key);
    ASSERT_EQ(kSize, result->Size());
    EXPECT_EQ(kSize, source.Position());
    for (int i = 0; i < 16; ++i) EXPECT_EQ(ScrambleByte(key, tail[i]), result->Memory()[kSize - 16 + i]) << i;
}

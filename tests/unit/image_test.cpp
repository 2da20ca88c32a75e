// Opening images by extension, the checksum and summary lines, the key text
// and the lock steps.
#include "image/FirmwareImage.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#if !defined(_WIN32)
#include <cerrno>
#include <sys/stat.h>
#endif

#include "TestSupport.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

using Bytes = std::vector<uint8_t>;

// The error code of a missing file is 2 on both platforms (ENOENT,
// ERROR_FILE_NOT_FOUND).
constexpr uint32_t kFileNotFound = 2;

Bytes CurrentBytes() {
    if (!CurrentImage) return {};
    const uint8_t* p = CurrentImage->Memory();
    return Bytes(p, p + CurrentImage->Size());
}

bool IsFile(const std::string& utf8Path) {
    return std::filesystem::is_regular_file(testsupport::FromUtf8(utf8Path));
}

Bytes InfoBytes(const TImageInfo& info) {
    return Bytes(info.Data, info.Data + info.Size);
}

Bytes RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& v : b) v = static_cast<uint8_t>(gen());
    return b;
}

// The transform worked out independently of the scrambler: the eight steps
// amount to one XOR with a byte made from the key.
Bytes Scrambled(const Bytes& plain, const ScrambleKey& k) {
    const uint8_t odd = k[1] ^ k[3] ^ k[5] ^ k[7];
    const uint8_t mask = static_cast<uint8_t>(((odd >> 1) | (odd << 7)) ^ k[0] ^ k[2] ^ k[4] ^ k[6]);
    Bytes out(plain);
    for (auto& v : out) v ^= mask;
    return out;
}

constexpr ScrambleKey kKey{0x3C, 0x5A, 0x91, 0x0E, 0xD4, 0x27, 0xB8, 0x66};

// Two data records of 4 bytes at 0x0000 and 0x0010: 20 bytes, 4..15 are 0xFF.
const char* const kHexText =
    ":0400000001020304F2\r\n"
    ":04001000A1B2C3D402\r\n"
    ":00000001FF\r\n";
const Bytes kHexImage = {1,    2,    3,    4,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xA1, 0xB2, 0xC3, 0xD4};

}  // namespace

TEST(ImageKind, ByLastExtensionOfTheNameInAnyCase) {
    struct Case {
        const char* name;
        TImageKind open;
        TImageKind lock;
    };
    const Case cases[] = {
        {"FIRMWARE.HEX", TImageKind::Hex, TImageKind::Hex},
        {"firmware.hex", TImageKind::Hex, TImageKind::Hex},
        {"firmware.Hex", TImageKind::Hex, TImageKind::Hex},
        {"image.bin.hex", TImageKind::Hex, TImageKind::Hex},
        {"firmware.Bin", TImageKind::Raw, TImageKind::Raw},
        {"C:image.BIN", TImageKind::Raw, TImageKind::Raw},
        {"fw.lock.bin", TImageKind::Raw, TImageKind::Raw},
        {"firmware.LOCK", TImageKind::Raw, TImageKind::Ignored},
        {"image.hex.lock", TImageKind::Raw, TImageKind::Ignored},
        {"C:\\fw.old\\image", TImageKind::Ignored, TImageKind::Ignored},
        {"/tmp/fw.hex/image", TImageKind::Ignored, TImageKind::Ignored},
        {"C:\\dir.bin\\", TImageKind::Ignored, TImageKind::Ignored},
        {"image.txt", TImageKind::Ignored, TImageKind::Ignored},
        {"image.lck", TImageKind::Ignored, TImageKind::Ignored},
        {"image.hexx", TImageKind::Ignored, TImageKind::Ignored},
        {"image.", TImageKind::Ignored, TImageKind::Ignored},
        {"image", TImageKind::Ignored, TImageKind::Ignored},
        {"", TImageKind::Ignored, TImageKind::Ignored},
        {"образ.bin", TImageKind::Raw, TImageKind::Raw},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.open, OpenKindOf(c.name)) << c.name;
        EXPECT_EQ(c.lock, LockKindOf(c.name)) << c.name;
    }
}

TEST(ImageSum, MatchesAPlainByteSumAtEveryLengthAndAlignment) {
    const Bytes data = RandomBytes(3000, 7);
    for (size_t start = 0; start < 8; ++start) {
        for (size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 1023u, 1024u, 1025u, 2047u, 2992u}) {
            uint16_t expected = 0;
            for (size_t i = 0; i < n; ++i) expected = static_cast<uint16_t>(expected + data[start + i]);
            EXPECT_EQ(expected, ImageSum(data.data() + start, static_cast<int64_t>(n)))
                << "start " << start << " length " << n;
        }
    }
    // Long runs of 0xFF overflow any 16-bit lane that is not folded in time.
    for (size_t n : {257u, 258u, 1024u + 3, 65536u, 1048576u + 5}) {
        const Bytes ff(n, 0xFF);
        EXPECT_EQ(static_cast<uint16_t>(n * 0xFF), ImageSum(ff.data(), static_cast<int64_t>(n))) << n;
    }
}

TEST(SummaryLines, NameWithoutFolderAndHexNumbers) {
    struct Case {
        const char* fileName;
        int64_t size;
        uint16_t sum;
        const char* name;
        const char* sizeText;
        const char* sumText;
    };
    const Case cases[] = {
        {"C:\\fw\\image.bin", 0, 0, "image.bin", "0000", "0000"},
        {"/home/op/image.hex", 0x10, 0x00FE, "image.hex", "0010", "00FE"},
        {"C:image.lock", 0xFFFF, 0xFFFF, "image.lock", "FFFF", "FFFF"},
        {"D:\\a/b\\прошивка.bin", 0x10000, 0xABC, "прошивка.bin", "10000", "0ABC"},
        {"image.bin", 0x123456789A, 1, "image.bin", "123456789A", "0001"},
    };
    for (const Case& c : cases) {
        TImageInfo info;
        info.Size = c.size;
        info.Sum = c.sum;
        const std::vector<std::string> expected = {std::string("Имя: ") + c.name,
                                                   std::string("Размер: ") + c.sizeText,
                                                   std::string("Контрольная сумма: ") + c.sumText};
        EXPECT_EQ(expected, SummaryLines(c.fileName, info)) << c.fileName;
        EXPECT_EQ(std::string("Имя файла: ") + c.name, LockNameLine(c.fileName)) << c.fileName;
    }
    EXPECT_EQ("Файл зашифрован C:\\fw\\image.bin.lock", LockDoneText("C:\\fw\\image.bin.lock"));
}

TEST(OpenImage, LoadsByExtensionAndDescribesTheImage) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string content;
        Bytes image;
        std::vector<std::string> lines;
    };
    const Bytes sixteen = RandomBytes(16, 1);
    const Bytes big = RandomBytes(0x10001, 2);
    const Case cases[] = {
        {"empty.bin", "", {}, {"Имя: empty.bin", "Размер: 0000", "Контрольная сумма: 0000"}},
        {"ff257.bin",
         std::string(257, '\xFF'),
         Bytes(257, 0xFF),
         {"Имя: ff257.bin", "Размер: 0101", "Контрольная сумма: FFFF"}},
        {"ff258.BIN",
         std::string(258, '\xFF'),
         Bytes(258, 0xFF),
         {"Имя: ff258.BIN", "Размер: 0102", "Контрольная сумма: 00FE"}},
        {"sixteen.LOCK", std::string(sixteen.begin(), sixteen.end()), sixteen, {}},
        {"big.Bin", std::string(big.begin(), big.end()), big, {}},
        {"image.HEX", kHexText, kHexImage, {"Имя: image.HEX", "Размер: 0014", "Контрольная сумма: 0EE8"}},
        {"image.bin.hex", kHexText, kHexImage, {}},
        {"nodata.Hex",
         ":00000001FF\n",
         {0xFF},
         {"Имя: nodata.Hex", "Размер: 0001", "Контрольная сумма: 00FF"}},
        {"прошивка.bin",
         "\x01\x02",
         {1, 2},
         {"Имя: прошивка.bin", "Размер: 0002", "Контрольная сумма: 0003"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Path(c.name);
        WriteFile(path, c.content);
        TImageInfo info;
        ASSERT_TRUE(OpenImage(path, info));
        ASSERT_TRUE(CurrentImage);
        EXPECT_EQ(c.image, CurrentBytes());
        EXPECT_EQ(CurrentImage->Memory(), info.Data);
        EXPECT_EQ(static_cast<int64_t>(c.image.size()), info.Size);
        EXPECT_EQ(ImageSum(c.image.data(), static_cast<int64_t>(c.image.size())), info.Sum);
        EXPECT_EQ(info.Data, info.Keep.get());
        EXPECT_EQ(CurrentImage->Size(), CurrentImage->Position());
        if (!c.lines.empty()) {
            EXPECT_EQ(c.lines, SummaryLines(path, info));
        }
    }
}

TEST(OpenImage, IgnoredOrFailedOpensChangeNothing) {
    TempDir dir;
    const std::string good = dir.Path("good.bin");
    WriteFile(good, Bytes{9, 8, 7});
    struct Case {
        const char* name;
        bool exists;  // the file is there (with content) before the open
        bool raises;
        bool fromNothing;  // CurrentImage absent before the open
    };
    const Case cases[] = {
        {"image.txt", true, false, false},   {"image.lck", true, false, true},
        {"image", true, false, true},        {"missing.bin", false, true, false},
        {"missing.bin", false, true, true},  {"missing.LOCK", false, true, true},
        {"missing.hex", false, true, false}, {"missing.hex", false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.fromNothing ? " from nothing" : " after an open"));
        const std::string path = dir.Path(c.name);
        if (c.exists) WriteFile(path, Bytes{1, 2, 3, 4});
        TImageInfo info;
        if (c.fromNothing) {
            CurrentImage.reset();
        } else {
            ASSERT_TRUE(OpenImage(good, info));
        }
        const TImageInfo before = info;
        const rt::TMemoryStream* stream = CurrentImage.get();

        if (c.raises) {
            EXPECT_THROW_MSG(OpenImage(path, info), rt::EFOpenError,
                             "Cannot open file \"" + path + "\". " + rt::SysErrorMessage(kFileNotFound));
        } else {
            EXPECT_FALSE(OpenImage(path, info));
        }

        EXPECT_EQ(before.Data, info.Data);
        EXPECT_EQ(before.Size, info.Size);
        EXPECT_EQ(before.Sum, info.Sum);
        EXPECT_EQ(before.Keep, info.Keep);
        const bool createdEmpty = c.fromNothing && OpenKindOf(c.name) == TImageKind::Raw;
        if (c.fromNothing && !createdEmpty) {
            EXPECT_FALSE(CurrentImage);
        } else if (createdEmpty) {
            ASSERT_TRUE(CurrentImage);
            EXPECT_EQ(0, CurrentImage->Size());
        } else {
            EXPECT_EQ(stream, CurrentImage.get());
            EXPECT_EQ((Bytes{9, 8, 7}), CurrentBytes());
        }
    }
}

// A folder, a pipe or a device has no size to trust and may never end: the
// open fails at once, naming it, and the open image stays.
TEST(OpenImage, InputsThatAreNotFilesFailAtOnce) {
    TempDir dir;
    const std::string good = dir.Path("good.bin");
    WriteFile(good, Bytes{9, 8, 7});
    struct Case {
        std::string path;
        std::string text;
    };
    std::vector<Case> cases;
    for (const char* name : {"folder.hex", "folder.bin", "folder.lock"}) {
        std::filesystem::create_directory(dir.Root() / name);
#if defined(_WIN32)
        cases.push_back({dir.Path(name), rt::SysErrorMessage(5)});  // ERROR_ACCESS_DENIED
#else
        cases.push_back({dir.Path(name), rt::SysErrorMessage(EISDIR)});
#endif
    }
#if defined(_WIN32)
    for (const char* name : {"NUL.bin", "nul.hex", "NUL.lock"}) cases.push_back({name, rt::kNotARegularFile});
#else
    for (const char* name : {"pipe.hex", "pipe.bin"}) {
        ASSERT_EQ(0, ::mkfifo(dir.Path(name).c_str(), 0600));
        cases.push_back({dir.Path(name), rt::kNotARegularFile});
    }
    for (const char* name : {"zero.bin", "zero.lock", "zero.hex"}) {
        std::filesystem::create_symlink("/dev/zero", dir.Root() / name);
        cases.push_back({dir.Path(name), rt::kNotARegularFile});
    }
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        TImageInfo info;
        ASSERT_TRUE(OpenImage(good, info));
        const TImageInfo before = info;
        EXPECT_THROW_MSG(OpenImage(c.path, info), rt::EFOpenError,
                         "Cannot open file \"" + rt::ExpandFileName(c.path) + "\". " + c.text);
        EXPECT_EQ(before.Data, info.Data);
        EXPECT_EQ(before.Size, info.Size);
        EXPECT_EQ((Bytes{9, 8, 7}), CurrentBytes());
    }
}

// A record copied for a download keeps its bytes, whatever happens to
// CurrentImage after the copy.
TEST(OpenImage, SnapshotKeepsItsBytesThroughLaterReloads) {
    TempDir dir;
    const std::string first = dir.Path("first.bin");
    const std::string second = dir.Path("second.bin");
    const std::string hex = dir.Path("image.hex");
    const Bytes firstBytes = RandomBytes(5000, 3);
    WriteFile(second, RandomBytes(5000, 4));
    WriteFile(hex, std::string(kHexText));
    struct Case {
        const char* what;
        std::function<void(TImageInfo&)> after;
    };
    const Case cases[] = {
        {"open another file", [&](TImageInfo& info) { OpenImage(second, info); }},
        {"open the same file", [&](TImageInfo& info) { OpenImage(first, info); }},
        {"open the same file, changed",
         [&](TImageInfo& info) {
             WriteFile(first, RandomBytes(5000, 5));
             OpenImage(first, info);
         }},
        {"open a .hex", [&](TImageInfo& info) { OpenImage(hex, info); }},
        {"lock the same file", [&](TImageInfo&) { LockImage(first, kKey); }},
        {"lock a .hex", [&](TImageInfo&) { LockImage(hex, kKey); }},
        {"write into the stream",
         [&](TImageInfo&) {
             CurrentImage->SetPosition(0);
             CurrentImage->WriteByte(0x55);
         }},
        {"clear the stream", [&](TImageInfo&) { CurrentImage->Clear(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(first, firstBytes);
        TImageInfo info;
        ASSERT_TRUE(OpenImage(first, info));
        const TImageInfo snapshot = SnapshotImageInfo(info);
        c.after(info);
        EXPECT_EQ(firstBytes, InfoBytes(snapshot));
        EXPECT_EQ(ImageSum(firstBytes.data(), 5000), snapshot.Sum);
    }
}

// A download thread copies the record while opens go on: every copy it
// takes must be whole (data, size and sum of one image) and readable.
TEST(OpenImage, SnapshotsTakenDuringOpensAreWhole) {
    TempDir dir;
    const std::string names[] = {dir.Path("a.bin"), dir.Path("b.bin"), dir.Path("c.hex")};
    WriteFile(names[0], RandomBytes(3001, 8));
    WriteFile(names[1], RandomBytes(70000, 9));
    WriteFile(names[2], std::string(kHexText));
    TImageInfo info;
    ASSERT_TRUE(OpenImage(names[0], info));

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> taken{0};
    std::thread reader([&] {
        while (!done.load()) {
            const TImageInfo copy = SnapshotImageInfo(info);
            if (copy.Keep.get() != copy.Data || ImageSum(copy.Data, copy.Size) != copy.Sum) ++torn;
            ++taken;
        }
    });
    for (int i = 0; i < 300; ++i) OpenImage(names[i % 3], info);
    // Let the reader see the last image too, within a time limit.
    const int before = taken.load();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (taken.load() < before + 10 && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
    done = true;
    reader.join();
    EXPECT_EQ(0, torn.load());
    EXPECT_LT(0, taken.load());
}

TEST(KeyFromText, PairsOfHexDigitsAfterBlanksAreRemoved) {
    const ScrambleKey def{0x3C, 0x5A, 0x91, 0x0E, 0xD4, 0x27, 0xB8, 0x66};
    struct Case {
        std::string text;
        std::optional<ScrambleKey> key;  // nullopt with an empty error: too short
        std::string error;               // the failure's text when not empty
    };
    const Case cases[] = {
        {std::string(kDefaultKeyText), def, ""},
        {"3C5A910ED427B866", def, ""},
        {"  3C5A910ED427B866  ", def, ""},
        {"3 C 5 A 9 1 0 E D 4 2 7 B 8 6 6", def, ""},
        {"3c5a910ed427b866", def, ""},
        {"3c5A910eD427b866", def, ""},
        {"3C5A910ED427B866ZZ", def, ""},
        {"3C5A910ED427B866 -- Ж!", def, ""},
        {"00 01 02 03 04 05 06 FF", ScrambleKey{0, 1, 2, 3, 4, 5, 6, 0xFF}, ""},
        {"3C5A910ED427B86", std::nullopt, ""},
        {"3C 5A 91 0E D4 27 B8 6 ", std::nullopt, ""},
        {"", std::nullopt, ""},
        {"                    ", std::nullopt, ""},
        {"ЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖ", std::nullopt, ""},  // 15 characters, 30 bytes
        {"3C5A910ED427B8G6", std::nullopt, "'$G6' is not a valid integer value"},
        {"3G5A910ED427B8G6", std::nullopt, "'$3G' is not a valid integer value"},
        {"+15A910ED427B866", std::nullopt, "'$+1' is not a valid integer value"},
        {"3C-A910ED427B866", std::nullopt, "'$-A' is not a valid integer value"},
        {"3C\t5A910ED427B866", std::nullopt, "'$\t5' is not a valid integer value"},
        {"3C5A910ED427B8Ж6", std::nullopt, "'$Ж6' is not a valid integer value"},
        {"3C5A910ED427B86Ж", std::nullopt, "'$6Ж' is not a valid integer value"},
        {"ЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖ", std::nullopt, "'$ЖЖ' is not a valid integer value"},
        {"3C\xC2\xA0"
         "5A910ED427B866",
         std::nullopt,
         "'$\xC2\xA0"
         "5' is not a valid integer value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (!c.error.empty()) {
            EXPECT_THROW_MSG(KeyFromText(c.text), rt::EConvertError, c.error);
        } else {
            EXPECT_EQ(c.key, KeyFromText(c.text));
        }
    }
}

TEST(LockImage, WritesTheScrambledImageBesideTheFile) {
    TempDir dir;
    const Bytes plain = RandomBytes(4099, 6);
    const ScrambleKey zero{};
    struct Case {
        const char* name;
        std::string content;
        Bytes image;
        ScrambleKey key;
    };
    const Case cases[] = {
        {"image.bin", std::string(plain.begin(), plain.end()), plain, kKey},
        {"IMAGE.BIN",
         std::string("\x00\xFF\x10", 3),
         {0x00, 0xFF, 0x10},
         ScrambleKey{1, 2, 4, 8, 16, 32, 64, 128}},
        {"plain.bin", std::string("\x00\xFF\x10", 3), {0x00, 0xFF, 0x10}, zero},
        {"empty.bin", "", {}, kKey},
        {"image.Hex", kHexText, kHexImage, kKey},
        {"образ.bin", "\x01", {0x01}, kKey},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Path(c.name);
        WriteFile(path, c.content);
        const Bytes expected = Scrambled(c.image, c.key);
        for (int run = 0; run < 2; ++run) {
            const std::optional<std::string> lockPath = LockImage(path, c.key);
            ASSERT_EQ(path + ".lock", lockPath);
            EXPECT_EQ(expected, ReadFile(*lockPath)) << "run " << run;
            EXPECT_EQ(expected, CurrentBytes());
            EXPECT_EQ(0, CurrentImage->Position());
        }
        std::filesystem::remove(path + ".lock");
    }
}

TEST(LockImage, RefusedOrFailedLocksWriteNothing) {
    TempDir dir;
    const std::string good = dir.Path("good.bin");
    WriteFile(good, Bytes{9, 8, 7});
    // The .lock name is taken by a folder, so the file cannot be created.
    const std::string blocked = dir.Path("blocked.bin");
    WriteFile(blocked, Bytes{5, 6});
    std::filesystem::create_directory(dir.Root() / "blocked.bin.lock");
    struct Case {
        const char* name;
        bool exists;
        const char* failure;  // "open", "create" or "" for a refusal
        Bytes after;          // CurrentImage afterwards
    };
    const Case cases[] = {
        {"image.lock", true, "", {9, 8, 7}},       {"image.LOCK", true, "", {9, 8, 7}},
        {"image.txt", true, "", {9, 8, 7}},        {"noextension", true, "", {9, 8, 7}},
        {"missing.bin", false, "open", {9, 8, 7}}, {"missing.hex", false, "open", {9, 8, 7}},
        {"blocked.bin", true, "create", {5, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Path(c.name);
        if (c.exists && std::string(c.name) != "blocked.bin") WriteFile(path, Bytes{1, 2, 3});
        TImageInfo info;
        ASSERT_TRUE(OpenImage(good, info));
        const std::string failure = c.failure;
        if (failure.empty()) {
            EXPECT_EQ(std::nullopt, LockImage(path, kKey));
        } else if (failure == "open") {
            EXPECT_THROW_MSG(LockImage(path, kKey), rt::EFOpenError,
                             "Cannot open file \"" + path + "\". " + rt::SysErrorMessage(kFileNotFound));
        } else {
            try {
                LockImage(path, kKey);
                ADD_FAILURE() << "no failure";
            } catch (const rt::EFCreateError& e) {
                const std::string prefix = "Cannot create file \"" + path + ".lock\". ";
                EXPECT_EQ(prefix, e.Message().substr(0, prefix.size())) << e.Message();
            }
        }
        EXPECT_EQ(c.after, CurrentBytes());
        EXPECT_FALSE(IsFile(path + ".lock"));
    }
}

TEST(LockImage, CreatesCurrentImageWhenAbsent) {
    TempDir dir;
    const std::string path = dir.Path("image.bin");
    WriteFile(path, Bytes{1, 2, 3});
    CurrentImage.reset();
    ASSERT_EQ(path + ".lock", LockImage(path, kKey));
    EXPECT_EQ(Scrambled({1, 2, 3}, kKey), CurrentBytes());

    CurrentImage.reset();
    EXPECT_THROW(LockImage(dir.Path("missing.bin"), kKey), rt::EFOpenError);
    ASSERT_TRUE(CurrentImage);
    EXPECT_EQ(0, CurrentImage->Size());
}

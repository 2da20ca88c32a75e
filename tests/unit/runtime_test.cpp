// The runtime pieces: conversions, file names, texts, the digest.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "device/LibraryFolders.h"
#include "TestSupport.h"
#include "runtime/Convert.h"
#include "runtime/Digest.h"
#include "runtime/Display.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"
#include "runtime/FileName.h"
#include "runtime/MemoryStream.h"

using testsupport::TempDir;
using testsupport::ToUtf8;

TEST(Convert, HexTextToInt) {
    struct Case {
        const char* text;
        int64_t value;
    };  // -1: conversion failure
    const Case cases[] = {
        {"$0", 0},
        {"$1f", 0x1F},
        {"$1F", 0x1F},
        {"$FFFFFFFF", 0xFFFFFFFF},
        {"$00000001", 1},
        {"$12340", 0x12340},
        {"$80000000", 0x80000000},
        {"$", -1},
        {"", -1},
        {"1F", -1},
        {"$1G", -1},
        {"$-1", -1},
        {"$+1", -1},
        {"$ 1", -1},
        {"$1 ", -1},
        {"$100000000", -1},
        {"$x1", -1},
        {"$\xD0\x96", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.value < 0) {
            EXPECT_THROW_MSG(rt::HexTextToInt(c.text), rt::EConvertError,
                             std::string("'") + c.text + "' is not a valid integer value");
        } else {
            EXPECT_EQ(static_cast<uint32_t>(c.value), rt::HexTextToInt(c.text));
        }
    }
}

TEST(Convert, HexDigitsToIntNamesTheWholeText) {
    EXPECT_EQ(0x12340000u, rt::HexDigitsToInt("1234", "0000"));
    EXPECT_EQ(0x10000u, rt::HexDigitsToInt("1000", "0"));
    EXPECT_THROW_MSG(rt::HexDigitsToInt("12G4", "0000"), rt::EConvertError,
                     "'$12G40000' is not a valid integer value");
    EXPECT_THROW_MSG(rt::HexDigitsToInt("", ""), rt::EConvertError, "'$' is not a valid integer value");
}

TEST(Convert, IntToHex) {
    struct Case {
        uint64_t value;
        int digits;
        const char* text;
    };
    const Case cases[] = {
        {0, 4, "0000"},          {0x10, 4, "0010"},
        {0xFFFF, 4, "FFFF"},     {0x10000, 4, "10000"},
        {0xABCDEF, 4, "ABCDEF"}, {0x100000000ull, 4, "100000000"},
        {0xFE, 2, "FE"},         {0xFFFFFFFFFFFFFFFFull, 4, "FFFFFFFFFFFFFFFF"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, rt::IntToHex(c.value, c.digits));
}

TEST(FileName, NameAndExtension) {
    struct Case {
        const char* path;
        const char* name;
        const char* ext;
    };
    const Case cases[] = {
        {"C:\\fw\\image.bin", "image.bin", ".bin"},
        {"C:\\fw.old\\image", "image", ""},
        {"C:image.Hex", "image.Hex", ".Hex"},
        {"/tmp/a.b/image.bin.hex", "image.bin.hex", ".hex"},
        {"C:\\fw\\.lock", ".lock", ".lock"},
        {"C:\\fw\\name.", "name.", "."},
        {"plain", "plain", ""},
        {"C:\\dir\\", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.name, rt::ExtractFileName(c.path));
        EXPECT_EQ(c.ext, rt::ExtractFileExt(c.path));
    }
    EXPECT_EQ(".HEX", rt::AsciiUpper(".hEx"));
    EXPECT_EQ(".\xD0\xB6Z", rt::AsciiUpper(".\xD0\xB6z"));  // Cyrillic bytes unchanged
}

// Past MAX_PATH a full path takes the form the file calls accept at any length.
TEST(FileName, LongPathForm) {
    const std::wstring tail = L"\\" + std::wstring(260, L'd') + L"\\a.bin",
                       at259 = L"C:\\" + std::wstring(256, L'n');
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"C:" + tail, L"\\\\?\\C:" + tail},
        {L"\\\\server\\share" + tail, L"\\\\?\\UNC\\server\\share" + tail},
        {L"//server/share/" + at259, L"\\\\?\\UNC\\server\\share\\" + at259},
        {L"\\\\?\\C:" + tail, L"\\\\?\\C:" + tail},
        {L"\\\\.\\C:" + tail, L"\\\\.\\C:" + tail},
        {L"fw" + tail, L"fw" + tail},
        {L"C:fw" + tail, L"C:fw" + tail},
        {at259, at259},
        {at259 + L"n", L"\\\\?\\" + at259 + L"n"},
    };
    for (const auto& [path, form] : cases) EXPECT_EQ(form, rt::FileCallForm(path, path));
    // The full path decides: a short name in a deep current folder too.
    EXPECT_EQ(L"\\\\?\\C:" + tail, rt::FileCallForm(L"a.bin", L"C:" + tail));
    EXPECT_EQ(L"a.bin", rt::FileCallForm(L"a.bin", at259));
    // And back, for the calls that take no long form.
    for (const auto& [longForm, plain] : {std::pair<std::wstring, std::wstring>{L"\\\\?\\N:\\", L"N:\\"},
                                          {L"\\\\?\\UNC\\s\\h\\", L"\\\\s\\h\\"},
                                          {L"\\\\?\\Volume{1}\\", L"\\\\?\\Volume{1}\\"}})
        EXPECT_EQ(plain, rt::PlainPathForm(longForm));
}

// The temporary file names the file it replaces, cut at a whole character.
TEST(FileName, TemporaryName) {
    std::string target = "a";
    while (target.size() < 80) target += "\xD0\xB6";
    const std::string name = rt::TemporaryName(target);
    EXPECT_EQ(".~" + target.substr(0, 63) + ".", name.substr(0, 66));
    EXPECT_EQ(78u, name.size()) << name;
}

// Windows' codes of a file another program holds open are tried again,
// no others; the delete-on-close mark only where it comes off again; files
// told apart by their ids only where both are known.
TEST(FileName, AbsolutePathFolders) {
    const std::pair<std::wstring, std::vector<std::wstring>> cases[] = {
        {L"C:\\tools\\;C:\\bin", {L"C:\\tools", L"C:\\bin"}},
        {L"\"C:\\a b\\\\\";D:/x/", {L"C:\\a b", L"D:\\x"}},
        {L"C:/tools/sub/;//server/share", {L"C:\\tools\\sub", L"\\\\server\\share"}},
        {L"C:\\;\\\\server\\share\\", {L"C:\\", L"\\\\server\\share"}},
        {L".;bin;C:bin;\\bin;;\"\"", {}},
    };
    for (const auto& [path, folders] : cases) EXPECT_EQ(folders, AbsolutePathFolders(path));
    EXPECT_EQ(L"C:\\DFU.dll", InFolder(L"C:\\", L"DFU.dll"));
    EXPECT_EQ(L"C:\\x\\DFU.dll", InFolder(L"C:\\x", L"DFU.dll"));
}

TEST(Display, FullStopRule) {
    struct Case {
        const char* message;
        const char* shown;
    };
    const Case cases[] = {
        {"Stream read error", "Stream read error."},
        {"Cannot open file \"x\". ", "Cannot open file \"x\". "},
        {"Ends with stop.", "Ends with stop."},
        {"Digit 7", "Digit 7."},
        {"Colon:", "Colon:."},
        {"Question?", "Question?."},
        {"Bracket)", "Bracket)"},
        {"Quote\"", "Quote\""},
        {"Apostrophe'", "Apostrophe'"},
        {"Bang!", "Bang!"},
        {"Slash/", "Slash/."},
        {"Line\r\n", "Line\r\n"},
        {"\xD0\x9E\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB0",
         "\xD0\x9E\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB0."},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.shown, rt::FailureDisplayText(c.message)) << c.message;
}

TEST(Exceptions, Texts) {
    EXPECT_EQ("Cannot open file \"C:\\a.bin\". Not found",
              rt::EFOpenError("C:\\a.bin", "Not found").Message());
    EXPECT_EQ("Cannot create file \"C:\\a.lock\". ", rt::EFCreateError("C:\\a.lock", "").Message());
    EXPECT_EQ("System Error.  Code: 8.\r\nNot enough memory", rt::EOSError(8, "Not enough memory").Message());
    EXPECT_EQ("A call to an OS function failed", rt::EOSError(0, "whatever").Message());
    EXPECT_EQ("Out of memory while expanding memory stream", rt::EStreamError().Message());
    EXPECT_EQ("Out of memory", rt::EOutOfMemory().Message());
    EXPECT_EQ("Stream read error", rt::EReadError().Message());
}

TEST(OSError, TrimmedSystemText) {
    EXPECT_EQ("No such file", rt::TrimErrorText("No such file.\r\n"));
    EXPECT_EQ("a . b", rt::TrimErrorText("a . b . . \t"));
    EXPECT_EQ("", rt::TrimErrorText(" .\n"));
    const std::string text = rt::SysErrorMessage(2);  // file not found on both platforms
    EXPECT_FALSE(text.empty());
    EXPECT_NE('.', text.back());
    EXPECT_GT(static_cast<unsigned char>(text.back()), ' ');
}

// Windows' texts as FORMAT_MESSAGE_IGNORE_INSERTS leaves them; the value to fill in; the text filled.
TEST(OSError, SystemTextInserts) {
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"%1 is not a valid Win32 application.\r\n", "", "Is not a valid Win32 application.\r\n"},
        {"%1 is not a valid Win32 application.\r\n", "DFU.dll",
         "DFU.dll is not a valid Win32 application.\r\n"},
        {"This version of %1 is not compatible.", "", "This version of is not compatible."},
        {"Insert %2 (Volume Serial Number: %3) into drive %1.", "",
         "Insert (Volume Serial Number:) into drive."},
        {"Cannot open '%1!s!'.", "", "Cannot open."},
        {"Cannot open \"%12!s!\" now", "a.bin", "Cannot open \"a.bin\" now"},
        {"50% of %d and %0 stay", "", "50% of %d and %0 stay"},
        {"%1", "", ""},
    };
    for (const auto& [text, value, filled] : rows) EXPECT_EQ(filled, rt::FillInserts(text, value)) << text;
}

TEST(Display, FailureMessageOfEachKind) {
    struct Case {
        std::function<void()> raise;
        const char* message;
    };
    const Case cases[] = {
        {[] { throw rt::EReadError(); }, "Stream read error"},
        {[] { throw rt::EConvertError::InvalidInteger("$1G"); }, "'$1G' is not a valid integer value"},
        {[] { throw std::bad_alloc(); }, "Out of memory"},
        {[] { throw std::runtime_error("plain"); }, "plain"},
        {[] { throw 42; }, "Unknown failure"},
    };
    for (const auto& c : cases) {
        try {
            c.raise();
        } catch (...) {
            EXPECT_EQ(c.message, rt::FailureMessage(std::current_exception()));
        }
    }
}

TEST(Convert, AnsiToUtf8) {
    EXPECT_EQ("$1G", rt::AnsiToUtf8("$1G"));
    EXPECT_EQ("\xD0\x96\xD1\x8F", rt::AnsiToUtf8("\xC6\xFF"));      // Ж я
    EXPECT_EQ("\xD0\x81\xE2\x84\x96", rt::AnsiToUtf8("\xA8\xB9"));  // Ё №
    EXPECT_EQ("\xEF\xBF\xBD", rt::AnsiToUtf8("\x98"));              // unassigned
}

TEST(Digest, KnownVectors) {
    std::vector<uint8_t> mebibyte(1 << 20);
    for (size_t i = 0; i < mebibyte.size(); ++i) mebibyte[i] = static_cast<uint8_t>((i * 7) ^ (i >> 8));
    const std::string abc = "abc";
    struct Case {
        const uint8_t* data;
        size_t size;
        const char* hex;  // sha256sum of the same bytes
    };
    const Case cases[] = {
        {nullptr, 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {reinterpret_cast<const uint8_t*>(abc.data()), abc.size(),
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {mebibyte.data(), mebibyte.size(),
         "c923ca387f9435260d1e5c46635a2303bbc967da66b226a0f889e7426864c1da"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(rt::Sha256Hex(c.data, c.size), c.hex);
        // Pieces of uneven sizes give the digest of the whole.
        rt::TSha256Hasher hasher;
        for (size_t done = 0, piece = 1; done < c.size; done += piece, piece = piece * 3 + 1)
            hasher.Update(c.data + done, std::min(piece, c.size - done));
        EXPECT_EQ(rt::Sha256Hex(hasher.Finish()), c.hex);
    }
}

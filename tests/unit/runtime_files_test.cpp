// The runtime's files: the byte stream, whole files and how each kind of target is written.
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

TEST(FileIO, WindowsRules) {
    for (const auto& [code, retried] :
         {std::pair{5u, true}, {32u, true}, {33u, true}, {2u, false}, {183u, false}})
        EXPECT_EQ(retried, rt::HeldByAnother(code)) << code;
    const std::tuple<const char*, bool, bool> drives[] = {
        {"NTFS", true, true}, {"exFAT", true, true}, {"NTFS", false, false}, {"UDF", true, false}};
    for (const auto& [fileSystem, fixed, marked] : drives)
        EXPECT_EQ(marked, rt::DeleteMarkTakenBack(fileSystem, fixed)) << fileSystem << " fixed " << fixed;
    const std::tuple<rt::TFileId, rt::TFileId, std::optional<bool>> ids[] = {
        {{7, {1}}, {7, {1}}, true},
        {{7, {1}}, {8, {1}}, false},
        {{7, {1}}, {7, {1, 0, 0, 0, 0, 0, 0, 0, 9}}, false},  // differs only above 64 bits
        {{0, {1}}, {0, {1}}, std::nullopt},
        {{7, {}}, {7, {}}, std::nullopt},
        {{7, {1}}, {7, {}}, std::nullopt},
    };
    for (const auto& [a, b, same] : ids) EXPECT_EQ(same, rt::SameById(a, b));
}

// PATH's absolute folders, one spelling each: where DFU.dll may be trusted.
TEST(MemoryStream, ReadWriteSizePosition) {
    rt::TMemoryStream s;
    EXPECT_EQ(0, s.Size());
    s.Write("abcdef", 6);
    EXPECT_EQ(6, s.Size());
    EXPECT_EQ(6, s.Position());
    s.SetPosition(2);
    s.Write("XY", 2);
    EXPECT_EQ(6, s.Size());
    char buf[8] = {};
    s.SetPosition(0);
    EXPECT_EQ(6, s.Read(buf, 8));
    EXPECT_EQ(std::string("abXYef"), std::string(buf, 6));
    EXPECT_EQ(0, s.Read(buf, 1));
    EXPECT_THROW_MSG(s.ReadBuffer(buf, 1), rt::EReadError, "Stream read error");
    s.SetSize(3);
    EXPECT_EQ(3, s.Position());
    s.SetPosition(10);  // writing past the end grows the stream
    s.WriteByte('Z');
    EXPECT_EQ(11, s.Size());
    EXPECT_EQ('Z', s.Memory()[10]);
    s.Clear();
    EXPECT_EQ(0, s.Size());
    EXPECT_EQ(0, s.Position());
}

TEST(MemoryStream, SharedBytesNeverChange) {
    TempDir dir;
    testsupport::WriteFile(dir.Path("b.bin"), std::string("second"));
    rt::TMemoryStream s;
    s.Write("first!", 6);
    const auto kept = s.Share();
    const uint8_t* before = s.Memory();
    // Each way of changing the stream leaves the shared bytes as they were.
    s.SetPosition(0);
    s.Write("X", 1);
    EXPECT_EQ(0, std::memcmp(kept.get(), "first!", 6));
    const auto kept2 = s.Share();
    s.SetSize(2);
    s.SetSize(6);
    EXPECT_EQ(0, std::memcmp(kept2.get(), "Xirst!", 6));
    const auto kept3 = s.Share();
    s.LoadFromFile(dir.Path("b.bin"));
    s.Clear();
    EXPECT_EQ(0, std::memcmp(kept3.get(), "Xirst!", 6));
    EXPECT_EQ(before, kept.get());
}

TEST(MemoryStream, FailedLoadChangesNothing) {
    TempDir dir;
    rt::TMemoryStream s;
    s.Write("keep", 4);
    const std::string missing = dir.Path("missing.bin");
    try {
        s.LoadFromFile(missing);
        FAIL() << "no failure";
    } catch (const rt::EFOpenError& e) {
        const std::string prefix = "Cannot open file \"" + missing + "\". ";
        EXPECT_EQ(prefix, e.Message().substr(0, prefix.size()));
        EXPECT_GT(e.Message().size(), prefix.size());  // the system's text follows
    }
    EXPECT_EQ(4, s.Size());
    EXPECT_EQ(0, std::memcmp(s.Memory(), "keep", 4));
    EXPECT_THROW(s.LoadFromFile(dir.Root().string()), rt::EFOpenError);  // a folder
}

TEST(MemoryStream, FileRoundTripAndLoadFromStream) {
    TempDir dir;
    const std::string path = dir.Path("\xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0.bin");
    std::vector<uint8_t> bytes(100000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    rt::TMemoryStream s;
    s.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    s.SaveToFile(path);
    EXPECT_EQ(bytes, testsupport::ReadFile(path));
    rt::TMemoryStream t;
    t.LoadFromFile(path);
    EXPECT_EQ(0, t.Position());
    ASSERT_EQ(static_cast<int64_t>(bytes.size()), t.Size());
    EXPECT_EQ(0, std::memcmp(t.Memory(), bytes.data(), bytes.size()));
    rt::TMemoryStream u;
    u.LoadFromStream(t);
    EXPECT_EQ(t.Size(), u.Size());
    EXPECT_NE(t.Memory(), u.Memory());
    rt::TMemoryStream empty;
    empty.SaveToFile(dir.Path("empty.bin"));
    EXPECT_TRUE(testsupport::ReadFile(dir.Path("empty.bin")).empty());
}

TEST(MemoryStream, UncreatableFile) {
    TempDir dir;
    const std::string path = dir.Path("no-such-folder/x.lock");
    rt::TMemoryStream s;
    try {
        s.SaveToFile(path);
        FAIL() << "no failure";
    } catch (const rt::EFCreateError& e) {
        // The full path, with the system's own separators.
        const std::string prefix = "Cannot create file \"" + rt::ExpandFileName(path) + "\". ";
        EXPECT_EQ(prefix, e.Message().substr(0, prefix.size()));
    }
}

TEST(MemoryStream, GrowthFailureRaisesStreamError) {
    const char* const text = "Out of memory while expanding memory stream";
    rt::TMemoryStream s;
    EXPECT_THROW_MSG(s.SetSize(INT64_MAX / 2), rt::EStreamError, text);
    EXPECT_THROW_MSG(s.SetSize(-1), rt::EStreamError, text);
    // Sizes whose rounding up to whole blocks, or whose end, passes INT64_MAX.
    EXPECT_THROW_MSG(s.SetSize(INT64_MAX), rt::EStreamError, text);
    EXPECT_THROW_MSG(s.SetSize(INT64_MAX - 100), rt::EStreamError, text);
    s.SetPosition(INT64_MAX - 2);
    EXPECT_THROW_MSG(s.Write("12345678", 8), rt::EStreamError, text);
    EXPECT_EQ(0, s.Size());
}

#if !defined(_WIN32)
// A folder with room for 64 KiB: a small tmpfs where the test may mount one,
// else the process's file size limit, which fails a write past it alike.
// With fat, a FAT volume of 160 KiB, whose files cannot be made without a
// name (through a loop device where the kernel has FAT, else FUSE), or none.
class TSmallDisk {
public:
    explicit TSmallDisk(const std::filesystem::path& folder, bool fat = false) : folder_(folder) {
        std::filesystem::create_directory(folder);
        const std::string image = "'" + folder.string() + ".img' ", dir = "'" + folder.string() + "'";
        mounted_ =
            fat ? std::system(("truncate -s 160K " + image + "&& mkfs.vfat " + image + "&& (mount -o loop " +
                               image + dir + " || fusefat -o rw+ " + image + dir + ") >/dev/null 2>&1")
                                  .c_str()) == 0
                : ::geteuid() == 0 && ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") == 0;
        if (mounted_ || fat) return;
        limited_ = true;
        ::getrlimit(RLIMIT_FSIZE, &before_);
        rlimit small = before_;
        small.rlim_cur = 64 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &small);
        ::signal(SIGXFSZ, SIG_IGN);
    }
    ~TSmallDisk() {
        if (mounted_) ::umount(folder_.c_str());
        if (limited_) {
            ::setrlimit(RLIMIT_FSIZE, &before_);
            ::signal(SIGXFSZ, SIG_DFL);
        }
    }
    TSmallDisk(const TSmallDisk&) = delete;
    TSmallDisk& operator=(const TSmallDisk&) = delete;
    bool Mounted() const { return mounted_; }

private:
    std::filesystem::path folder_;
    bool mounted_ = false, limited_ = false;
    rlimit before_{};
};
#endif

// However the target is given and whatever it is, a write succeeds whole or
// leaves it exactly as it was, and no temporary file stays behind.
TEST(FileIO, WriteTargetKinds) {
    namespace fs = std::filesystem;
    TempDir dir;
    const fs::path root = dir.Root();
    const std::string small(1000, 's');
    const std::string big(200 * 1024, 'b');
    const auto read = [](const fs::path& p) {
        const auto bytes = testsupport::ReadFile(ToUtf8(p));
        return std::string(bytes.begin(), bytes.end());
    };
    struct Case {
        const char* name;
        fs::path target;
        std::function<void()> prepare;
        const std::string* content;
        bool fails;
        std::function<void()> check;  // the state afterwards
        std::string osText = {};      // the failure's system-text part, when it is known
    };
    const auto old = [&](const fs::path& p) {
        testsupport::WriteFile(ToUtf8(p), "OLD");
        return p;
    };
    // Another program's handle on the target, as a scanner opens a new file:
    // without leave to delete it, which stops a rename over it on Windows.
    std::ifstream brief, held;
    const auto holdBriefly = [&](const fs::path& p) {
        brief.open(p);
        return std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300)), brief.close();
        });
    };
    std::future<void> closer;
    std::vector<Case> cases = {
        {"new file", root / "new.bin", [] {}, &small, false,
         [&] { EXPECT_EQ(small, read(root / "new.bin")); }},
        {"existing file", root / "old.bin", [&] { testsupport::WriteFile(ToUtf8(root / "old.bin"), "OLD"); },
         &small, false, [&] { EXPECT_EQ(small, read(root / "old.bin")); }},
        {"read-only file", root / "ro.lock",
         [&] { fs::permissions(old(root / "ro.lock"), fs::perms::owner_read); }, &small, true,
         [&] { EXPECT_EQ("OLD", read(root / "ro.lock")); }, rt::kReadOnlyFile},
        {"held open briefly", root / "held.bin", [&] { closer = holdBriefly(old(root / "held.bin")); },
         &small, false, [&] { EXPECT_EQ(small, read(root / "held.bin")); }},
#if !defined(_WIN32)
        {"kept permissions", root / "ro.bin",
         [&] {
             testsupport::WriteFile(ToUtf8(root / "ro.bin"), "OLD");
             fs::permissions(root / "ro.bin", fs::perms::owner_read | fs::perms::owner_write);
         },
         &small, false,
         [&] {
             EXPECT_EQ(small, read(root / "ro.bin"));
             EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
                       fs::status(root / "ro.bin").permissions());
         }},
        {"symbolic link", root / "link.bin",
         [&] {
             fs::create_directory(root / "sub");
             testsupport::WriteFile(ToUtf8(root / "sub" / "pointee.bin"), "OLD");
             fs::create_symlink("sub/pointee.bin", root / "link.bin");
         },
         &small, false,
         [&] {
             EXPECT_TRUE(fs::is_symlink(root / "link.bin"));
             EXPECT_EQ(small, read(root / "sub" / "pointee.bin"));
         }},
        {"dangling link", root / "dangling.bin",
         [&] { fs::create_symlink("made.bin", root / "dangling.bin"); }, &small, false,
         [&] {
             EXPECT_TRUE(fs::is_symlink(root / "dangling.bin"));
             EXPECT_EQ(small, read(root / "made.bin"));
         }},
        {"full disk, existing file", root / "small" / "big.bin.lock",
         [&] { testsupport::WriteFile(ToUtf8(root / "small" / "big.bin.lock"), "OLD"); }, &big, true,
         [&] { EXPECT_EQ("OLD", read(root / "small" / "big.bin.lock")); }},
        {"full disk, link", root / "small" / "link.lock",
         [&] {
             testsupport::WriteFile(ToUtf8(root / "small" / "pointee.lock"), "OLD");
             fs::create_symlink("pointee.lock", root / "small" / "link.lock");
         },
         &big, true,
         [&] {
             EXPECT_TRUE(fs::is_symlink(root / "small" / "link.lock"));
             EXPECT_EQ("OLD", read(root / "small" / "pointee.lock"));
         }},
        {"link loop", root / "la.bin",
         [&] {
             fs::create_symlink("lb.bin", root / "la.bin");
             fs::create_symlink("la.bin", root / "lb.bin");
         },
         &small, true,
         [&] { EXPECT_TRUE(fs::is_symlink(root / "la.bin") && fs::is_symlink(root / "lb.bin")); },
         rt::SysErrorMessage(ELOOP)},
#endif
    };
#if defined(_WIN32)
    cases.push_back({"device", "NUL", [] {}, &small, false, [] {}});
    cases.push_back({"held open past the retries", root / "held.lock",
                     [&] { held.open(old(root / "held.lock")); }, &small, true,
                     [&] { EXPECT_EQ("OLD", read(root / "held.lock")); }});
    const fs::path hidden = root / "hidden.bin";
    cases.push_back({"hidden file", hidden,
                     [&] { SetFileAttributesW(old(hidden).c_str(), FILE_ATTRIBUTE_HIDDEN); }, &small, false,
                     [&] {
                         EXPECT_EQ(FILE_ATTRIBUTE_HIDDEN,
                                   GetFileAttributesW(hidden.c_str()) & FILE_ATTRIBUTE_HIDDEN);
                     }});
    // Where the mark cannot be trusted a named file, removed on failure; a
    // mark that stays on stops the rename, which would hand it on.
    using rt::TTemporaryKind;
    const auto in = [](TTemporaryKind k, const fs::path& p) { return rt::SetTemporaryKindForTest(k), p; };
    cases.push_back({"mark stuck on", root / "stuck.bin",
                     [&] { old(in(TTemporaryKind::markStuck, root / "stuck.bin")); }, &small, true,
                     [&] { EXPECT_EQ("OLD", read(root / "stuck.bin")); }, rt::kDeleteMarkStuck});
    cases.push_back({"named temporary file", root / "named.bin",
                     [&] { old(in(TTemporaryKind::named, root / "named.bin")); }, &small, false,
                     [&] { EXPECT_EQ(small, read(root / "named.bin")); }});
    cases.push_back({"named temporary file, folder in the way", root / "folder",
                     [&] { fs::create_directory(in(TTemporaryKind::named, root / "folder")); }, &small, true,
                     [&] { EXPECT_TRUE(fs::is_directory(root / "folder")); }});
#else
    // The write end of a pipe, named as the process's open file; read at once.
    int pipeEnds[2] = {-1, -1};
    ASSERT_EQ(0, ::pipe2(pipeEnds, O_NONBLOCK));
    cases.push_back(
        {"pipe", "/proc/self/fd/" + std::to_string(pipeEnds[1]), [] {}, &small, false,
         [&] {
             char got[2000];
             EXPECT_EQ(small, std::string(got, std::max<ssize_t>(0, ::read(pipeEnds[0], got, sizeof got))));
             ::close(pipeEnds[0]);
             ::close(pipeEnds[1]);
         }});
    // A device node of its own that fails every write (as /dev/full does).
    if (::mknod((root / "full").c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0)
        cases.push_back({"device", root / "full", [] {}, &small, true,
                         [&] { EXPECT_TRUE(fs::is_character_file(root / "full")); }});
    // Standard output redirected to a file, named as /dev/stdout names it:
    // written through, so that what the process holds sees it.
    const int out = ::open((root / "out.txt").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    cases.push_back({"redirected output", "/dev/fd/" + std::to_string(out),
                     [&] { EXPECT_EQ(3, ::write(out, "OLD", 3)); }, &small, false,
                     [&] {
                         char got[2000];
                         EXPECT_EQ(small,
                                   std::string(got, std::max<ssize_t>(0, ::pread(out, got, sizeof got, 0))));
                         ::close(out);
                     }});
    const TSmallDisk smallDisk(root / "small");
    const TSmallDisk fatDisk(root / "fat", true);
    if (fatDisk.Mounted())
        cases.push_back({"full disk, no unnamed files", root / "fat" / "big.lock",
                         [&] { old(root / "fat" / "big.lock"); }, &big, true,
                         [&] { EXPECT_EQ("OLD", read(root / "fat" / "big.lock")); }});
    else
        std::printf("FAT volume not mounted (no loop FAT and no fusefat): its row is left out\n");
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        rt::TMemoryStream s;
        s.Write(c.content->data(), static_cast<int64_t>(c.content->size()));
        const std::string target = ToUtf8(c.target);
        if (c.fails) {
            try {
                s.SaveToFile(target);
                ADD_FAILURE() << "no failure";
            } catch (const rt::EFCreateError& e) {
                const std::string prefix = "Cannot create file \"" + rt::ExpandFileName(target) + "\". ";
                EXPECT_EQ(prefix, e.Message().substr(0, prefix.size())) << e.Message();
                EXPECT_GT(e.Message().size(), prefix.size());
                EXPECT_TRUE(c.osText.empty() || prefix + c.osText == e.Message()) << e.Message();
            }
        } else {
            EXPECT_NO_THROW(s.SaveToFile(target));
        }
        c.check();
#if defined(_WIN32)
        rt::SetTemporaryKindForTest(rt::TTemporaryKind::byDrive);
#endif
        for (const auto& entry : fs::recursive_directory_iterator(root))
            EXPECT_NE(0u, entry.path().filename().string().rfind(".~", 0)) << entry.path();
    }
    fs::permissions(root / "ro.lock", fs::perms::owner_all);  // Windows deletes no read-only file
}

// File failures name the file by its full path, however it was given.
TEST(MemoryStream, GrowthBeyondTheAddressSpaceOf32Bits) {
    if (sizeof(void*) != 4) GTEST_SKIP() << "a 64-bit process can map this much";
    rt::TMemoryStream s;
    s.Write("keep", 4);
    EXPECT_THROW_MSG(s.SetSize(int64_t{0x78000000}), rt::EStreamError,
                     "Out of memory while expanding memory stream");
    EXPECT_EQ(4, s.Size());
    EXPECT_EQ(0, std::memcmp(s.Memory(), "keep", 4));
}

TEST(FileIO, FailuresNameTheFullPath) {
    TempDir dir;
    std::filesystem::create_directory(dir.Root() / "sub");
    const testsupport::CurrentFolder inDir(dir.Root());
    const std::filesystem::path root = std::filesystem::current_path();
    struct Case {
        const char* given;
        std::filesystem::path full;
    };
    const Case cases[] = {
        {"missing.bin", root / "missing.bin"},
        {"./missing.bin", root / "missing.bin"},
        {"sub/../missing.bin", root / "missing.bin"},
        {"sub/missing.bin", root / "sub" / "missing.bin"},
        {"no-folder/x.lock", root / "no-folder" / "x.lock"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        const std::string full = ToUtf8(c.full);
        EXPECT_EQ(full, rt::ExpandFileName(c.given));
        EXPECT_EQ(full, rt::ExpandFileName(full));
        rt::TMemoryStream s;
        try {
            s.LoadFromFile(c.given);
            ADD_FAILURE() << "no failure";
        } catch (const rt::EFOpenError& e) {
            const std::string prefix = "Cannot open file \"" + full + "\". ";
            EXPECT_EQ(prefix, e.Message().substr(0, prefix.size())) << e.Message();
            EXPECT_GT(e.Message().size(), prefix.size());
        }
    }
    rt::TMemoryStream s;
    try {
        s.SaveToFile("sub/../no-folder/x.lock");
        ADD_FAILURE() << "no failure";
    } catch (const rt::EFCreateError& e) {
        const std::string prefix = "Cannot create file \"" + ToUtf8(root / "no-folder" / "x.lock") + "\". ";
        EXPECT_EQ(prefix, e.Message().substr(0, prefix.size())) << e.Message();
    }
    EXPECT_EQ("", rt::ExpandFileName(""));
}

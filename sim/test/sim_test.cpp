// The simulated instrument, loaded as the program loads it (bound through the
// import library) and as fresh copies with their own settings.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "DFU.h"
#include "SimTestSupport.h"

namespace {

using namespace simtest;

// ---- the library the program binds ----------------------------------------------

bool DefaultSettings() {
    for (const wchar_t* name :
         {L"FWL_DFU_SEARCH_MS", L"FWL_DFU_RATE", L"FWL_DFU_CAPACITY", L"FWL_DFU_FAIL", L"FWL_DFU_SCRIPT"})
        if (GetEnvironmentVariableW(name, nullptr, 0)) return false;
    return true;
}

TEST(Bound, DefaultCycleSearchesThenSendsAndReportsProgress) {
    // This copy was loaded with the process.
    if (!DefaultSettings()) GTEST_SKIP() << "FWL_DFU_* settings in the environment";
    EXPECT_EQ(DFU_Get_ProcessCount(), 255u) << "before any ISP";
    EXPECT_EQ(DFU_Download(nullptr, 0, 0, 0), 0u) << "no transfer before ISP";
    EXPECT_EQ(DFU_Reset_To_AP(), 0u) << "no return to the application before a download";

    Bytes image = Pattern(4096);
    ULONGLONG t0 = GetTickCount64();
    EXPECT_NE(DFU_Reset_To_ISP(3690, 791), 0u);
    EXPECT_LT(GetTickCount64() - t0, 1000u) << "ISP returns at once";
    EXPECT_EQ(DFU_Get_ProcessCount(), 255u) << "searching";
    EXPECT_EQ(DFU_Download(image.data(), 0, uint32_t(image.size()), Sum16(image)), 1u);
    // 1.5 s of search, then 4 KiB at 20 KiB/s.
    EXPECT_GE(GetTickCount64() - t0, 1600u);
    EXPECT_EQ(DFU_Get_ProcessCount(), 100u);
    EXPECT_EQ(DFU_Reset_To_AP(), 1u);
    EXPECT_EQ(DFU_Get_ProcessCount(), 100u) << "stays until the next ISP";
    EXPECT_EQ(DFU_Download(image.data(), 0, uint32_t(image.size()), Sum16(image)), 0u)
        << "back in the application";
}

// ---- checks of what the instrument is sent ---------------------------------------

TEST(Checks, ArgumentsBytesAndOrderOfCalls) {
    // Two pages of which the second is gone: the first stays reserved, so that
    // nothing else can be placed there.
    uint8_t* pages =
        static_cast<uint8_t*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(pages, nullptr);
    memset(pages, 0x11, 8192);
    ASSERT_TRUE(VirtualFree(pages + 4096, 4096, MEM_DECOMMIT));
    const uint8_t* torn = pages + 4096 - 512;
    const Bytes ok = Pattern(1024), ff(1024, 0xFF), big = Pattern(1025);

    struct Row {
        const char* name;
        uint32_t ispA, ispB;
        const uint8_t* data;
        uint32_t zero, count, sum;
        uint32_t isp, download, ap;  // expected results
        const char* check;           // of the download, in the log
    };
    const Row rows[] = {
        {"fits exactly", 3690, 791, ok.data(), 0, 1024, Sum16(ok), 1, 1, 1, "ok"},
        {"sum above 16 bits keeps its low half", 3690, 791, ff.data(), 0, 1024, 0xFC00, 1, 1, 1, "ok"},
        {"sum argument 65536 or more", 3690, 791, ok.data(), 0, 1024, Sum16(ok) + 0x10000, 1, 0, 0,
         "sum-range"},
        {"wrong sum", 3690, 791, ok.data(), 0, 1024, (Sum16(ok) + 1) & 0xFFFF, 1, 0, 0, "sum-mismatch"},
        {"sum of a prefix only", 3690, 791, ok.data(), 0, 1000, Sum16(ok), 1, 0, 0, "sum-mismatch"},
        {"second argument not 0", 3690, 791, ok.data(), 1, 1024, Sum16(ok), 1, 0, 0, "bad-zero"},
        {"larger than the flash", 3690, 791, big.data(), 0, 1025, Sum16(big), 1, 0, 0, "too-big"},
        {"empty image", 3690, 791, ok.data(), 0, 0, 0, 1, 1, 1, "ok"},
        {"empty image with a sum", 3690, 791, ok.data(), 0, 0, 5, 1, 0, 0, "sum-mismatch"},
        {"null data", 3690, 791, nullptr, 0, 10, 0, 1, 0, 0, "null-data"},
        {"buffer freed in the middle", 3690, 791, torn, 0, 1024, 0x4400, 1, 0, 0, "unreadable"},
        {"other device", 3690, 792, ok.data(), 0, 1024, Sum16(ok), 0, 0, 0, "no-isp"},
        {"arguments swapped", 791, 3690, ok.data(), 0, 1024, Sum16(ok), 0, 0, 0, "no-isp"},
    };
    TempDir dir;
    const std::wstring log = dir / L"dfu.log";
    {
        Instrument dfu(dir, {{L"FWL_DFU_SEARCH_MS", L"0"},
                             {L"FWL_DFU_RATE", L"0"},
                             {L"FWL_DFU_CAPACITY", L"1K"},
                             {L"FWL_DFU_LOG", log}});
        for (const Row& r : rows) {
            SCOPED_TRACE(r.name);
            EXPECT_EQ(dfu.Isp(r.ispA, r.ispB), r.isp);
            EXPECT_EQ(dfu.Download(r.data, r.zero, r.count, r.sum), r.download);
            EXPECT_EQ(dfu.Ap(), r.ap);
        }
    }
    VirtualFree(pages, 0, MEM_RELEASE);
    auto downloads = LinesStarting(log, "DFU_Download(");
    ASSERT_EQ(downloads.size(), std::size(rows));
    for (size_t i = 0; i < downloads.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(Token(downloads[i], "check"), rows[i].check) << downloads[i];
    }
    auto aps = LinesStarting(log, "DFU_Reset_To_AP()");
    ASSERT_EQ(aps.size(), std::size(rows));
    EXPECT_EQ(Token(aps[2], "check"), "no-download") << aps[2];
}

TEST(Checks, FailureSettingsFailTheNamedStep) {
    struct Row {
        const wchar_t* fail;
        uint32_t isp, download, ap;
        uint32_t readingAfterDownload;
    };
    const Row rows[] = {
        {L"none", 1, 1, 1, 100},    {L"isp", 0, 0, 0, 255},  // the device is never found
        {L"download", 1, 0, 0, 50},                          // the cable breaks halfway
        {L"ap", 1, 1, 0, 100},      {L"isp,ap", 0, 0, 0, 255},
    };
    const Bytes image = Pattern(2000);
    for (const Row& r : rows) {
        std::string name(r.fail, r.fail + wcslen(r.fail));
        SCOPED_TRACE(name);
        TempDir dir;
        Instrument dfu(dir,
                       {{L"FWL_DFU_SEARCH_MS", L"0"}, {L"FWL_DFU_RATE", L"0"}, {L"FWL_DFU_FAIL", r.fail}});
        EXPECT_EQ(dfu.Isp(3690, 791), r.isp);
        EXPECT_EQ(dfu.Download(image.data(), 0, uint32_t(image.size()), Sum16(image)), r.download);
        EXPECT_EQ(dfu.Count(), r.readingAfterDownload);
        EXPECT_EQ(dfu.Ap(), r.ap);
    }
}

// ---- progress and polling from another thread ----------------------------------

TEST(Progress, RisesFrom0To100WhilePolledFromAnotherThread) {
    TempDir dir;
    const std::wstring log = dir / L"dfu.log";
    const Bytes image = Pattern(8192);
    uint32_t pollerTid = 0;
    std::vector<uint32_t> seen;
    ULONGLONG elapsed = 0;
    {
        Instrument dfu(dir,
                       {{L"FWL_DFU_SEARCH_MS", L"200"}, {L"FWL_DFU_RATE", L"40000"}, {L"FWL_DFU_LOG", log}});
        Poller poller(dfu.Count, true);
        pollerTid = poller.Tid();
        ULONGLONG t0 = GetTickCount64();
        ASSERT_EQ(dfu.Isp(3690, 791), 1u);
        ASSERT_EQ(dfu.Download(image.data(), 0, uint32_t(image.size()), Sum16(image)), 1u);
        elapsed = GetTickCount64() - t0;
        // The poller sees the final reading before it stops.
        while (poller.Last() != 100) std::this_thread::yield();
        poller.Stop();
        seen = poller.History();
    }
    // 200 ms of search and about 205 ms of transfer.
    EXPECT_GE(elapsed, 380u);

    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), 255u);
    EXPECT_EQ(seen.back(), 100u);
    size_t first = 0;
    while (first < seen.size() && seen[first] == 255) ++first;
    int intermediate = 0;
    for (size_t i = first; i < seen.size(); ++i) {
        EXPECT_LE(seen[i], 100u);
        if (i > first) {
            EXPECT_GT(seen[i], seen[i - 1]) << "at " << i;
        }
        if (seen[i] > 0 && seen[i] < 100) ++intermediate;
    }
    EXPECT_GE(intermediate, 5) << "the percentage moves in steps";

    auto downloads = LinesStarting(log, "DFU_Download(");
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(Token(downloads[0], "pollers"), std::to_string(pollerTid)) << downloads[0];
    EXPECT_EQ(Token(downloads[0], "tid"), std::to_string(GetCurrentThreadId()));
    EXPECT_NE(Token(downloads[0], "polls"), "0");
    // One line per change of the reading that the poller got.
    auto polls = LinesStarting(log, "DFU_Get_ProcessCount() = ");
    size_t fromPoller = 0;
    for (auto& l : polls)
        if (Token(l, "tid") == std::to_string(pollerTid)) ++fromPoller;
    EXPECT_EQ(fromPoller, seen.size());
    auto totals = LinesStarting(log, "polls tid=" + std::to_string(pollerTid) + " ");
    ASSERT_EQ(totals.size(), 1u);
    EXPECT_EQ(Token(totals[0], "last"), "100");
    auto load = LinesStarting(log, "load ");
    ASSERT_EQ(load.size(), 1u);
    EXPECT_EQ(Token(load[0], "search_ms"), "200");
    EXPECT_EQ(Token(load[0], "rate"), "40000");
    EXPECT_EQ(Token(load[0], "mode"), "default");
}

TEST(Bytes, FileHoldsWhatEachTransferReceived) {
    TempDir dir;
    const std::wstring bytes = dir / L"received.bin";
    Instrument dfu(dir, {{L"FWL_DFU_SEARCH_MS", L"0"}, {L"FWL_DFU_RATE", L"0"}, {L"FWL_DFU_BYTES", bytes}});
    const Bytes a = Pattern(3000, 1), b = Pattern(10, 2);
    ASSERT_EQ(dfu.Isp(3690, 791), 1u);
    ASSERT_EQ(dfu.Download(a.data(), 0, uint32_t(a.size()), Sum16(a)), 1u);
    std::string got = ReadAll(bytes);
    EXPECT_EQ(Bytes(got.begin(), got.end()), a);
    ASSERT_EQ(dfu.Download(b.data(), 0, uint32_t(b.size()), Sum16(b) ^ 1), 0u);
    got = ReadAll(bytes);
    EXPECT_EQ(Bytes(got.begin(), got.end()), b) << "overwritten, also by a failed transfer";
}

}  // namespace

// The simulated instrument, loaded as the program loads it (bound through the
// import library) and as fresh copies with their own settings.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DFU.h"
#include "SimControl.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Env = std::map<std::wstring, std::wstring>;

constexpr uint32_t kWaitMs = 10000;

uint32_t Sum16(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t x : b) s += x;
    return s & 0xFFFF;
}

Bytes Pattern(size_t n, uint32_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return b;
}

std::wstring ExeDir() {
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    std::wstring p(buf, n);
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

std::string ReadAll(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string s;
    char buf[65536];
    DWORD got;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got) s.append(buf, got);
    CloseHandle(h);
    return s;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) v.push_back(line);
    return v;
}

std::vector<std::string> LinesStarting(const std::wstring& log, const std::string& prefix) {
    std::vector<std::string> v;
    for (auto& l : Lines(ReadAll(log)))
        if (l.rfind(prefix, 0) == 0) v.push_back(l);
    return v;
}

// Value of "key=" in a log line ("" when absent).
std::string Token(const std::string& line, const std::string& key) {
    size_t p = line.find(" " + key + "=");
    if (p == std::string::npos) return {};
    p += key.size() + 2;
    return line.substr(p, line.find(' ', p) - p);
}

// A folder of its own for one test, removed afterwards.
class TempDir {
public:
    TempDir() {
        static std::atomic<int> counter{0};
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"fwl-sim-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter) + L"\\";
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempDir() {
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW((path_ + L"*").c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            do DeleteFileW((path_ + fd.cFileName).c_str());
            while (FindNextFileW(h, &fd));
            FindClose(h);
        }
        RemoveDirectoryW(path_.c_str());
    }
    std::wstring operator/(const std::wstring& name) const { return path_ + name; }

private:
    std::wstring path_;
};

// A fresh copy of DFU.dll, loaded with the given settings in the environment,
// so that each test starts from an instrument that has seen no call.
class Instrument {
public:
    Instrument(const TempDir& dir, const Env& env) {
        static std::atomic<int> counter{0};
        file_ = dir / (L"DFU-" + std::to_wstring(++counter) + L".dll");
        if (!CopyFileW((ExeDir() + L"DFU.dll").c_str(), file_.c_str(), FALSE))
            throw std::runtime_error("cannot copy DFU.dll");
        std::map<std::wstring, std::wstring> saved;
        std::vector<std::wstring> unset;
        for (auto& [k, v] : env) {
            wchar_t buf[1024];
            DWORD n = GetEnvironmentVariableW(k.c_str(), buf, 1024);
            if (n)
                saved[k] = std::wstring(buf, n);
            else
                unset.push_back(k);
            SetEnvironmentVariableW(k.c_str(), v.c_str());
        }
        module_ = LoadLibraryW(file_.c_str());
        for (auto& [k, v] : saved) SetEnvironmentVariableW(k.c_str(), v.c_str());
        for (auto& k : unset) SetEnvironmentVariableW(k.c_str(), nullptr);
        if (!module_) throw std::runtime_error("cannot load the copy of DFU.dll");
        Isp = Get<decltype(Isp)>("DFU_Reset_To_ISP");
        Download = Get<decltype(Download)>("DFU_Download");
        Ap = Get<decltype(Ap)>("DFU_Reset_To_AP");
        Count = Get<decltype(Count)>("DFU_Get_ProcessCount");
    }
    ~Instrument() { Unload(); }
    // Unloading writes the last log lines.
    void Unload() {
        if (module_) FreeLibrary(module_), module_ = nullptr, DeleteFileW(file_.c_str());
    }

    uint32_t(__stdcall* Isp)(uint32_t, uint32_t) = nullptr;
    uint32_t(__stdcall* Download)(const uint8_t*, uint32_t, uint32_t, uint32_t) = nullptr;
    uint32_t(__stdcall* Ap)() = nullptr;
    uint32_t(__stdcall* Count)() = nullptr;

private:
    template <class F>
    F Get(const char* name) {
        auto p = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
        if (!p) throw std::runtime_error(std::string("DFU.dll lacks ") + name);
        return p;
    }
    std::wstring file_;
    HMODULE module_ = nullptr;
};

// Calls DFU_Get_ProcessCount over and over on a thread of its own, as the
// window's polling loop does, until stopped.
class Poller {
public:
    explicit Poller(uint32_t(__stdcall* count)(), bool keepHistory = false)
        : thread_([this, count, keepHistory] {
              tid_ = GetCurrentThreadId();
              while (!stop_) {
                  uint32_t r = count();
                  last_ = r;
                  ++passes_;
                  if (keepHistory && (history_.empty() || history_.back() != r)) history_.push_back(r);
              }
          }) {}
    ~Poller() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    uint32_t Tid() const {
        while (!tid_) std::this_thread::yield();
        return tid_;
    }
    uint32_t Last() const { return last_; }
    const std::vector<uint32_t>& History() const { return history_; }  // after Stop

private:
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> tid_{0}, last_{0xFFFFFFFF}, passes_{0};
    std::vector<uint32_t> history_;
    std::thread thread_;
};

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

// ---- scripted mode: a test steps the instrument --------------------------------

std::wstring UniqueName(const char* what) {
    static std::atomic<int> counter{0};
    return L"simtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + L"-" +
           std::wstring(what, what + strlen(what));
}

TEST(Script, TestStepsReadingsAndReleasesEachCall) {
    TempDir dir;
    const std::wstring log = dir / L"dfu.log", bytes = dir / L"received.bin";
    SimControl ctl(UniqueName("steps"));
    ctl.SetBytesFile(bytes);
    Instrument dfu(dir, {{L"FWL_DFU_SCRIPT", ctl.Name()}, {L"FWL_DFU_LOG", log}});
    const Bytes image = Pattern(5000);

    // The program: a worker making the three calls, and a poller.
    std::atomic<uint32_t> workerTid{0};
    uint32_t results[3] = {99, 99, 99};
    Poller poller(dfu.Count);
    std::thread worker([&] {
        workerTid = GetCurrentThreadId();
        results[0] = dfu.Isp(3690, 791);
        results[1] = dfu.Download(image.data(), 0, uint32_t(image.size()), Sum16(image));
        results[2] = dfu.Ap();
    });

    ctl.WaitPolls(2, kWaitMs);
    EXPECT_EQ(poller.Last(), 255u) << "a new block starts at 255";
    EXPECT_EQ(ctl.DllProcessId(), GetCurrentProcessId());

    SimEntry isp = ctl.WaitEntered(SimFn::Isp, kWaitMs);
    EXPECT_EQ(isp.args[0], 3690u);
    EXPECT_EQ(isp.args[1], 791u);
    EXPECT_EQ(isp.threadId, workerTid.load());
    EXPECT_EQ(isp.ticket, 1u);
    EXPECT_TRUE(ctl.Inside(SimFn::Isp));
    ctl.WaitPolls(2, kWaitMs);
    EXPECT_EQ(ctl.PollersDuring(SimFn::Isp), std::vector<uint32_t>{poller.Tid()});
    EXPECT_EQ(ctl.Entered(SimFn::Download), 0u) << "ISP is held until released";
    ctl.Release(SimFn::Isp, 1);
    EXPECT_EQ(ctl.WaitExited(SimFn::Isp, kWaitMs), 1u);

    SimEntry dl = ctl.WaitEntered(SimFn::Download, kWaitMs);
    EXPECT_EQ(dl.args[0], uint32_t(uintptr_t(image.data())));
    EXPECT_EQ(dl.args[1], 0u);
    EXPECT_EQ(dl.args[2], image.size());
    EXPECT_EQ(dl.args[3], Sum16(image));
    EXPECT_EQ(ctl.Check(SimFn::Download), "ok");
    EXPECT_EQ(ctl.ReceivedCount(), image.size());
    EXPECT_EQ(ctl.ReceivedSum(), Sum16(image));
    std::string got = ReadAll(bytes);
    EXPECT_EQ(Bytes(got.begin(), got.end()), image) << "written before the entry is signalled";
    for (uint32_t r : {0u, 17u, 42u, 255u, 100u, 1000u}) {
        ctl.SetReading(r);
        ctl.WaitPolls(2, kWaitMs);
        EXPECT_EQ(poller.Last(), r);
    }
    EXPECT_EQ(ctl.PollersDuring(SimFn::Download), std::vector<uint32_t>{poller.Tid()});
    EXPECT_GE(ctl.PollsDuring(SimFn::Download), 12u);
    ctl.Release(SimFn::Download, 7);  // any nonzero value
    EXPECT_EQ(ctl.WaitExited(SimFn::Download, kWaitMs), 7u);
    EXPECT_EQ(ctl.CheckAtExit(SimFn::Download), "ok");

    ctl.WaitEntered(SimFn::Ap, kWaitMs);
    EXPECT_EQ(ctl.Check(SimFn::Ap), "ok");
    ctl.Release(SimFn::Ap, 0);
    EXPECT_EQ(ctl.WaitExited(SimFn::Ap, kWaitMs), 0u);
    worker.join();
    poller.Stop();

    EXPECT_EQ(results[0], 1u);
    EXPECT_EQ(results[1], 7u);
    EXPECT_EQ(results[2], 0u);
    EXPECT_EQ(ctl.MaxInside(), 1u);
    EXPECT_EQ(ctl.Timeouts(), 0u);

    auto lines = LinesStarting(log, "DFU_Download(");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" = 7 "), std::string::npos) << lines[0];
    EXPECT_EQ(Token(lines[0], "tid"), std::to_string(workerTid.load()));
    EXPECT_EQ(Token(lines[0], "pollers"), std::to_string(poller.Tid()));
    EXPECT_EQ(Token(lines[0], "check"), "ok");
    EXPECT_EQ(LinesStarting(log, "DFU_Reset_To_ISP(3690, 791) = 1 ").size(), 1u);
    EXPECT_EQ(LinesStarting(log, "DFU_Reset_To_AP() = 0 ").size(), 1u);
}

TEST(Script, VerdictsAreRecordedAndTheTestsResultReturned) {
    struct Row {
        const char* name;
        bool isp;           // ISP released with 1 before the download
        int sumDelta;       // added to the right sum
        bool changeBuffer;  // the program changes the image while the call is held
        const char* check;
        const char* checkAtExit;
    };
    const Row rows[] = {
        {"as it should be", true, 0, false, "ok", "ok"},
        {"image changed during the transfer", true, 0, true, "ok", "changed"},
        {"wrong sum", true, 1, false, "sum-mismatch", "sum-mismatch"},
        {"no ISP first", false, 0, false, "no-isp", "no-isp"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        SimControl ctl(UniqueName("verdict"));
        ctl.SetAutoRelease(SimFn::Isp, 1);
        Instrument dfu(dir, {{L"FWL_DFU_SCRIPT", ctl.Name()}});
        Bytes image = Pattern(700);
        if (r.isp) {
            ASSERT_EQ(dfu.Isp(3690, 791), 1u);
        }
        uint32_t result = 0;
        std::thread worker([&] {
            result =
                dfu.Download(image.data(), 0, uint32_t(image.size()), (Sum16(image) + r.sumDelta) & 0xFFFF);
        });
        ctl.WaitEntered(SimFn::Download, kWaitMs);
        EXPECT_EQ(ctl.Check(SimFn::Download), r.check);
        if (r.changeBuffer) image[650] ^= 0x5A;
        ctl.Release(SimFn::Download, 1);
        ctl.WaitExited(SimFn::Download, kWaitMs);
        worker.join();
        EXPECT_EQ(result, 1u) << "the test's result, whatever the verdict";
        EXPECT_EQ(ctl.CheckAtExit(SimFn::Download), r.checkAtExit);
    }
}

TEST(Script, WaitsEndWithClearErrors) {
    SimControl ctl(UniqueName("timeouts"));
    EXPECT_THROW(SimControl{ctl.Name()}, SimControl::Error) << "a name in use";
    try {
        ctl.WaitEntered(SimFn::Isp, 50);
        FAIL() << "no call was made";
    } catch (const SimControl::Error& e) {
        std::string m = e.what();
        EXPECT_NE(m.find("timed out after 50 ms waiting for DFU_Reset_To_ISP to be entered"),
                  std::string::npos)
            << m;
        EXPECT_NE(m.find("no DFU.dll has attached"), std::string::npos) << m;
    }
    EXPECT_THROW(ctl.WaitPolls(1, 20), SimControl::Error);
    EXPECT_THROW(ctl.WaitExited(SimFn::Download, 20), SimControl::Error);

    // The DLL gives up on a call that the test never releases.
    TempDir dir;
    Instrument dfu(dir, {{L"FWL_DFU_SCRIPT", ctl.Name()}, {L"FWL_DFU_SCRIPT_TIMEOUT_MS", L"100"}});
    EXPECT_EQ(dfu.Isp(3690, 791), 0u);
    EXPECT_EQ(ctl.Timeouts(), 1u);
    EXPECT_EQ(ctl.Exited(SimFn::Isp), 1u);
}

TEST(Script, ProgramStartedBeforeTheTestAttachesLater) {
    TempDir dir;
    const std::wstring name = UniqueName("late");
    Instrument dfu(dir, {{L"FWL_DFU_SCRIPT", name}});
    EXPECT_EQ(dfu.Count(), 255u);
    EXPECT_EQ(dfu.Isp(3690, 791), 0u) << "no test to answer";
    SimControl ctl(name);
    ctl.SetReading(33);
    ctl.SetAutoRelease(SimFn::Isp, 5);
    EXPECT_EQ(dfu.Count(), 33u);
    EXPECT_EQ(dfu.Isp(3690, 791), 5u);
    EXPECT_EQ(ctl.PollCount(), 1u);
    EXPECT_EQ(ctl.Entered(SimFn::Isp), 1u);
}

TEST(Script, ReleasesQueueUpAndAutoReleasedCallsTakeNone) {
    TempDir dir;
    SimControl ctl(UniqueName("queue"));
    Instrument dfu(dir, {{L"FWL_DFU_SCRIPT", ctl.Name()}});
    ctl.SetAutoRelease(SimFn::Isp, 3);
    EXPECT_EQ(dfu.Isp(3690, 791), 3u);
    ctl.ClearAutoRelease(SimFn::Isp);
    ctl.Release(SimFn::Isp, 4);
    ctl.Release(SimFn::Isp, 5);
    EXPECT_EQ(dfu.Isp(3690, 791), 4u);
    EXPECT_EQ(dfu.Isp(3690, 791), 5u);
    EXPECT_EQ(ctl.Entered(SimFn::Isp), 3u);
    EXPECT_EQ(ctl.Exited(SimFn::Isp), 3u);
    for (int i = 0; i < 16; ++i) ctl.Release(SimFn::Ap, 1);
    EXPECT_THROW(ctl.Release(SimFn::Ap, 1), SimControl::Error);
}

// The program's side of Script.DrivesAnotherProcess, run in a child process
// whose bound DFU.dll was loaded with FWL_DFU_SCRIPT set.
TEST(DISABLED_Child, ActsAsTheLoader) {
    if (!GetEnvironmentVariableW(L"FWL_SIM_CHILD", nullptr, 0)) GTEST_SKIP();
    std::atomic<bool> done{false};
    std::thread poller([&] {
        while (!done) DFU_Get_ProcessCount();
    });
    const Bytes image = Pattern(3000);
    EXPECT_EQ(DFU_Reset_To_ISP(3690, 791), 1u);
    EXPECT_EQ(DFU_Download(image.data(), 0, uint32_t(image.size()), Sum16(image)), 1u);
    EXPECT_EQ(DFU_Reset_To_AP(), 1u);
    done = true;
    poller.join();
}

TEST(Script, DrivesAnotherProcess) {
    SimControl ctl(UniqueName("child"));
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring cmd =
        L"\"" + std::wstring(exe) + L"\" --gtest_also_run_disabled_tests --gtest_filter=DISABLED_Child.*";
    SetEnvironmentVariableW(L"FWL_SIM_CHILD", L"1");
    SetEnvironmentVariableW(L"FWL_DFU_SCRIPT", ctl.Name().c_str());
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessW(exe, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableW(L"FWL_SIM_CHILD", nullptr);
    SetEnvironmentVariableW(L"FWL_DFU_SCRIPT", nullptr);
    ASSERT_TRUE(started);
    struct Child {
        PROCESS_INFORMATION& pi;
        ~Child() {
            if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
    } child{pi};

    const uint32_t startMs = 30000;  // a first process in a prefix starts slowly
    SimEntry isp = ctl.WaitEntered(SimFn::Isp, startMs);
    EXPECT_EQ(ctl.DllProcessId(), pi.dwProcessId);
    EXPECT_EQ(isp.args[0], 3690u);
    ctl.Release(SimFn::Isp, 1);
    SimEntry dl = ctl.WaitEntered(SimFn::Download, kWaitMs);
    EXPECT_EQ(dl.args[2], 3000u);
    EXPECT_EQ(ctl.Check(SimFn::Download), "ok");
    ctl.SetReading(50);
    ctl.WaitPolls(2, kWaitMs);
    const uint32_t pollerTid = ctl.LastPollThread();
    EXPECT_NE(pollerTid, dl.threadId);
    EXPECT_EQ(ctl.PollersDuring(SimFn::Download), std::vector<uint32_t>{pollerTid});
    ctl.Release(SimFn::Download, 1);
    ctl.WaitEntered(SimFn::Ap, kWaitMs);
    ctl.Release(SimFn::Ap, 1);
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, startMs), WAIT_OBJECT_0) << ctl.Describe();
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u) << "the child's own checks";
}

}  // namespace

// The simulated instrument in scripted mode: a test steps it through SimControl.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DFU.h"
#include "SimControl.h"
#include "SimTestSupport.h"

namespace {

using namespace simtest;

// ---- scripted mode: a test steps the instrument --------------------------------

constexpr uint32_t kWaitMs = 10000;

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

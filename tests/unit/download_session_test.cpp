#include "window/WindowDownload.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "FakeDownloadPlatform.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;
using namespace fakes;

// A wait that can only end well: generous, for a busy machine.
constexpr auto kLimit = 60s;

TEST(WorkerGate, OneWorkerAtATime) {
    TWorkerGate gate;
    EXPECT_FALSE(gate.Running());
    EXPECT_TRUE(gate.WaitIdleFor(0ms));
    ASSERT_TRUE(gate.TryBegin());
    EXPECT_TRUE(gate.Running());
    EXPECT_FALSE(gate.TryBegin());
    EXPECT_FALSE(gate.WaitIdleFor(1ms));
    // The worker's end, or a thread that could not be created.
    gate.End();
    EXPECT_FALSE(gate.Running());
    gate.WaitIdle();
    EXPECT_TRUE(gate.TryBegin());
    gate.End();
}

// Blocks until a flag is raised by another thread, at most kLimit.
class TSignal {
public:
    void Raise() {
        std::lock_guard<std::mutex> guard(lock_);
        raised_ = true;
        changed_.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, kLimit, [this] { return raised_; });
    }
    bool Raised() {
        std::lock_guard<std::mutex> guard(lock_);
        return raised_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool raised_ = false;
};

// Shutdown waits on one thread while the worker ends on another. The waiter
// may or may not be asleep when End comes, so the case is run many times.
TEST(WorkerGate, WaitIdleWakesWhenTheWorkerEnds) {
    for (int round = 0; round < 50; ++round) {
        // Left behind, not destroyed, should a waiter never wake.
        auto* gate = new TWorkerGate;
        auto* started = new TSignal;
        auto* woke = new TSignal;
        ASSERT_TRUE(gate->TryBegin());
        std::thread waiter([=] {
            started->Raise();
            gate->WaitIdle();
            woke->Raise();
        });
        ASSERT_TRUE(started->Wait());
        EXPECT_FALSE(woke->Raised());
        gate->End();
        if (!woke->Wait()) {
            waiter.detach();
            FAIL() << "WaitIdle did not return after End, round " << round;
        }
        waiter.join();
        delete gate;
        delete started;
        delete woke;
    }
}

// Records the session's events; the host's waiting is logged into the same
// list, and answered by onWait.
class TFakeEvents : public TDownloadEvents {
public:
    std::vector<std::string> log;
    std::function<bool()> onWait = [] { return true; };

    void Searching() override { log.push_back("Searching"); }
    void Loading(uint16_t p) override { log.push_back("Percent=" + std::to_string(p)); }
    bool Wait() override {
        log.push_back("pump");
        return onWait();
    }
    void TransferOver() override { log.push_back("Over"); }
};

// The worker on its own thread, the watching on this one: the events follow
// the readings, end when the transfer returns, and a second Start is refused
// until the worker's last box is closed.
TEST(WorkerGate, RefusesStartUntilTheWorkerHasEnded) {
    class TBlockingPlatform : public TFakePlatform {
    public:
        using TFakePlatform::TFakePlatform;
        TSignal searched, inTransfer, transferMayEnd, boxShown, boxMayClose;
        uint32_t ResetToISP(uint32_t a, uint32_t b) override {
            searched.Wait();
            return TFakePlatform::ResetToISP(a, b);
        }
        int ShowBox(std::string_view text, std::string_view caption, unsigned style) override {
            const int answer = TFakePlatform::ShowBox(text, caption, style);
            if (text == kDownloadDoneBox.Text) {
                boxShown.Raise();
                boxMayClose.Wait();
            }
            return answer;
        }
        uint32_t Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) override {
            inTransfer.Raise();
            transferMayEnd.Wait();
            return TFakePlatform::Download(data, zero, count, sum);
        }
    };

    TDownloadSession session;
    TBlockingPlatform platform(session.Busy());
    const TImageInfo info = FiveByteImage();

    std::thread worker;
    ASSERT_TRUE(session.Start(
        [&] { worker = std::thread([&] { RunDownloadWorker(platform, platform, info, session); }); }));

    TFakeEvents events;
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    bool secondStartRefused = true;
    platform.onRead = [&]() -> uint32_t {
        if (std::chrono::steady_clock::now() > deadline) platform.transferMayEnd.Raise();
        if (!platform.inTransfer.Raised()) {
            platform.searched.Raise();
            return 255;
        }
        platform.transferMayEnd.Raise();
        return 40;
    };
    events.onWait = [&] { return secondStartRefused = secondStartRefused && !session.Start([] {}); };
    EXPECT_TRUE(session.Watch(platform, events));
    EXPECT_EQ("Over", events.log.back());
    events.onWait = [] { return true; };

    EXPECT_TRUE(secondStartRefused);
    EXPECT_TRUE(platform.boxShown.Wait());
    EXPECT_TRUE(session.Running());
    EXPECT_FALSE(session.Start([] {}));
    platform.boxMayClose.Raise();
    EXPECT_EQ(TDownloadOutcome::Done, session.WaitEnd(events));
    worker.join();
    EXPECT_TRUE(session.Start([] {}));

    EXPECT_EQ(40, session.Percent());
    const auto has = [&](const std::string& op) {
        return std::find(events.log.begin(), events.log.end(), op) != events.log.end();
    };
    EXPECT_TRUE(has("Searching"));
    EXPECT_TRUE(has("Percent=40"));
    EXPECT_EQ(kHourglassOff, platform.log.back());
}

TEST(ProgressMonitor, SessionTellsReadingsAndTheEnd) {
    const std::vector<std::string> reset = {"Over"};
    const std::vector<std::string> searching = {"Searching"};
    const auto loading = [](int p) { return std::vector<std::string>{"Percent=" + std::to_string(p)}; };
    const auto join = [](std::initializer_list<std::vector<std::string>> parts) {
        std::vector<std::string> out;
        for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
        return out;
    };
    const std::vector<std::string> pump = {"pump"};

    struct Row {
        const char* name;
        uint32_t before;  // the last reading of the download before
        std::vector<uint32_t> readings;
        std::vector<std::string> log;
    };
    const std::vector<Row> rows = {
        {"done before the first pass", 0, {}, reset},
        {"first download: 0 changes nothing", 0, {0, 0, 37}, join({pump, pump, loading(37), pump, reset})},
        {"later download: the old percentage changes nothing",
         37,
         {37, 50},
         join({pump, loading(50), pump, reset})},
        {"never searching: the pane is never shown",
         0,
         {10, 20},
         join({loading(10), pump, loading(20), pump, reset})},
        {"searching throughout", 0, {255, 255}, join({searching, pump, searching, pump, reset})},
        {"searching after percentages keeps the bar",
         0,
         {10, 255, 10},
         join({loading(10), pump, searching, pump, pump, reset})},
        {"above 100", 100, {150}, join({loading(150), pump, reset})},
        {"differs only above 16 bits", 5, {65541}, join({loading(5), pump, reset})},
        {"the same low 16 bits", 65535, {0xFFFFFFFF, 65535}, join({loading(65535), pump, pump, reset})},
        {"255 in the low 16 bits is a percentage", 0, {65536 + 255}, join({loading(255), pump, reset})},
        {"searching after 255 %", 65536 + 255, {255}, join({searching, pump, reset})},
        {"0 after 100", 100, {0}, join({loading(0), pump, reset})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TDownloadSession session;
        TFakePlatform device(session.Busy());
        TFakeEvents events;
        for (const std::vector<uint32_t>& readings : {std::vector<uint32_t>{row.before}, row.readings}) {
            events.log.clear();
            session.Start([] {});
            if (readings.empty()) session.Finish(TDownloadOutcome::Declined);
            size_t next = 0;
            device.onRead = [&]() -> uint32_t {
                if (next >= readings.size()) {
                    ADD_FAILURE() << "read after the flag fell";
                    return 0;
                }
                const uint32_t reading = readings[next++];
                if (next == readings.size()) session.Finish(TDownloadOutcome::Done);
                return reading;
            };
            EXPECT_TRUE(session.Watch(device, events));
        }
        EXPECT_EQ(row.log, events.log);
    }
}

// The host stops when its Wait() says so (a timeout, an abandoned call):
// nothing more is told, and the end is not awaited.
TEST(DownloadSession, WaitFalseStopsWatchingAndWaiting) {
    TDownloadSession session;
    TFakePlatform device(session.Busy());
    device.onRead = [] { return 10u; };
    TFakeEvents events;
    events.onWait = [] { return false; };
    ASSERT_TRUE(session.Start([] {}));
    EXPECT_FALSE(session.Watch(device, events));
    EXPECT_EQ(std::nullopt, session.WaitEnd(events));
    EXPECT_EQ((std::vector<std::string>{"Percent=10", "pump", "pump"}), events.log);
}

// A thread that cannot be created: the failure goes on, the gate ends.
TEST(DownloadSession, StartThatFailsEndsTheGate) {
    TDownloadSession session;
    EXPECT_THROW(session.Start([] { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_FALSE(session.Running());
    EXPECT_TRUE(session.Start([] {}));
}

// Each library call is named while it runs, also one that throws, and none
// once it has returned; the boxes are outside the library.
TEST(DownloadSession, StepInsideTheLibrary) {
    TDownloadSession session;
    TFakePlatform platform(session.Busy());
    std::vector<TLibraryCall> steps;
    platform.onCall = [&] { steps.push_back(session.Step()); };
    platform.throwAt = "ResetToAP()";
    RunWorker(platform, session, FiveByteImage());
    using S = TLibraryCall;
    EXPECT_EQ((std::vector<S>{S::None, S::None, S::None, S::ResetToISP, S::Download, S::ResetToAP, S::None,
                              S::None, S::None}),
              steps);
    EXPECT_EQ(S::None, session.Step());
}

}  // namespace

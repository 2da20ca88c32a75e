#include "window/WindowDownload.h"

#include "download/DownloadRecord.h"
#include "download/PreparedRecord.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

// A wait that can only end well: generous, for a busy machine.
constexpr auto kLimit = 60s;

const std::string kConfirm = "Box( Загрузить программу ? | Подтверждение файла|0x34) busy=1";
const std::string kHourglassOn = "Hourglass(on) busy=1";
const std::string kIsp = "ResetToISP(3690,791) busy=1";
const std::string kDownload = "Download(data,0,5,4660) busy=1";
const std::string kAp = "ResetToAP() busy=0";
const std::string kIspFailed = "Box(Ошибка перехода в режим загрузки  |Предупреждение|0x30) busy=1";
const std::string kHourglassOffBusy = "Hourglass(off) busy=1";
const std::string kDownloadFailed = "Box(Ошибка загрузки |Предупреждение|0x30) busy=0";
const std::string kApFailed = "Box(Ошибка выхода из режима загрузки  |Предупреждение|0x30) busy=0";
const std::string kDone = "Box(Загрузка завершена  |Поздравление|0x40) busy=0";
const std::string kHourglassOff = "Hourglass(off) busy=0";

enum class TThrow { None, BadAlloc, Int };

// Records every call with the busy flag's value at that moment.
class TFakePlatform : public TDownloadPlatform, public TDevice {
public:
    explicit TFakePlatform(std::atomic<bool>& busy) : busy_(busy) {}

    int answer = kAnswerYes;
    uint32_t isp = 1, download = 1, ap = 1;
    // The logged call (without " busy=") that throws, and what it throws.
    std::string throwAt;
    TThrow throwKind = TThrow::BadAlloc;
    // Run inside the confirmation and inside the transfer; at every call.
    std::function<void()> onConfirm, onDownload, onCall;
    // DFU_Get_ProcessCount's readings.
    std::function<uint32_t()> onRead = [] { return 0u; };
    // Data that Download names "data" in the log.
    const uint8_t* knownData = nullptr;

    std::vector<std::string> log;
    std::vector<uint8_t> sentBytes;
    uint32_t sentCount = 0, sentSum = 0;

    int ShowBox(std::string_view text, std::string_view caption, unsigned style) override {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%02X", style);
        Record("Box(" + std::string(text) + "|" + std::string(caption) + "|" + hex + ")");
        if (text == kConfirmDownloadBox.Text) {
            if (onConfirm) onConfirm();
            return answer;
        }
        return 1;
    }
    void SetHourglass(bool on) override { Record(on ? "Hourglass(on)" : "Hourglass(off)"); }
    // With a log: what its Record reports (none: written).
    std::optional<std::optional<std::string>> recording;
    std::optional<std::string> Record(TDownloadOutcome outcome, const TImageInfo& image, uint64_t) override {
        if (!recording) return std::nullopt;
        Record("Record(" + std::string(OutcomeRecord(outcome).LogName) + "," + std::to_string(image.Size) +
               ")");
        return *recording;
    }
    uint32_t ResetToISP(uint32_t a, uint32_t b) override {
        Record("ResetToISP(" + std::to_string(a) + "," + std::to_string(b) + ")");
        return isp;
    }
    uint32_t Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) override {
        const char* tag = data == nullptr ? "null" : data == knownData ? "data" : "other";
        Record("Download(" + std::string(tag) + "," + std::to_string(zero) + "," + std::to_string(count) +
               "," + std::to_string(sum) + ")");
        if (onDownload) {
            onDownload();
            // What the library reads, after whatever onDownload did to the window's image.
            sentBytes.assign(data, data + count);
        }
        sentCount = count;
        sentSum = sum;
        return download;
    }
    uint32_t ResetToAP() override {
        Record("ResetToAP()");
        return ap;
    }
    uint32_t ProcessCount() override { return onRead(); }

private:
    void Record(const std::string& call) {
        if (onCall) onCall();
        log.push_back(call + (busy_.load() ? " busy=1" : " busy=0"));
        if (call == throwAt) {
            if (throwKind == TThrow::Int) throw 42;
            throw std::bad_alloc();
        }
    }

    std::atomic<bool>& busy_;
};

const uint8_t kFiveBytes[5] = {1, 2, 3, 4, 5};

TImageInfo FiveByteImage() {
    TImageInfo info;
    info.Data = kFiveBytes;
    info.Size = 5;
    info.Sum = 0x1234;
    return info;
}

struct TRun {
    uint32_t result;
    bool busyAfter;
};

TRun RunWorker(TFakePlatform& platform, TDownloadSession& session, const TImageInfo& info) {
    session.Start([] {});
    const uint32_t result = RunDownloadWorker(platform, platform, info, session);
    return {result, session.Busy().load()};
}

TEST(DownloadWorker, OutcomesCallsBoxesBusyAndHourglass) {
    struct Row {
        const char* name;
        int answer;
        uint32_t isp, download, ap;
        std::vector<std::string> log;
    };
    const std::vector<Row> rows = {
        {"No", 7, 1, 1, 1, {kConfirm}},
        {"box not shown", 0, 1, 1, 1, {kConfirm}},
        {"Cancel", 2, 1, 1, 1, {kConfirm}},
        {"OK is not Yes", 1, 1, 1, 1, {kConfirm}},
        {"loader mode refused", 6, 0, 1, 1, {kConfirm, kHourglassOn, kIsp, kIspFailed, kHourglassOffBusy}},
        {"transfer failed",
         6,
         1,
         0,
         1,
         {kConfirm, kHourglassOn, kIsp, kDownload, kDownloadFailed, kHourglassOff}},
        {"return failed",
         6,
         1,
         1,
         0,
         {kConfirm, kHourglassOn, kIsp, kDownload, kAp, kApFailed, kHourglassOff}},
        {"success", 6, 1, 1, 1, {kConfirm, kHourglassOn, kIsp, kDownload, kAp, kDone, kHourglassOff}},
        {"any nonzero succeeds",
         6,
         0xFFFFFFFF,
         0x80000000,
         2,
         {kConfirm, kHourglassOn, kIsp, kDownload, kAp, kDone, kHourglassOff}},
        {"high bits only",
         6,
         0x10000,
         0x100,
         0x80000000,
         {kConfirm, kHourglassOn, kIsp, kDownload, kAp, kDone, kHourglassOff}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TDownloadSession session;
        TFakePlatform platform(session.Busy());
        platform.answer = row.answer;
        platform.isp = row.isp;
        platform.download = row.download;
        platform.ap = row.ap;
        platform.knownData = kFiveBytes;
        const TRun run = RunWorker(platform, session, FiveByteImage());
        EXPECT_EQ(1u, run.result);
        EXPECT_FALSE(run.busyAfter);
        EXPECT_EQ(row.log, platform.log);
    }
}

// Every ending is recorded before its box, No included; a record not written
// (or whose writing threw) gets one more box, once the hourglass is off.
TEST(DownloadWorker, RecordsEachEndingAndTellsALostRecord) {
    const std::string lost = "Box(Ошибка записи в журнал загрузок\n";
    struct Row {
        int answer;
        std::optional<std::string> failure;
        const char* throwAt;
        std::vector<std::string> log;
    };
    const Row rows[] = {
        {7,
         "Disk full.",
         "",
         {kConfirm, "Record(declined,5) busy=1", lost + "Disk full.|Предупреждение|0x30) busy=1"}},
        {6,
         std::nullopt,
         "Record(done,5)",
         {kConfirm, kHourglassOn, kIsp, kDownload, kAp, "Record(done,5) busy=0", kDone, kHourglassOff,
          lost + "Out of memory.|Предупреждение|0x30) busy=0"}},
    };
    for (const Row& row : rows) {
        TDownloadSession session;
        TFakePlatform platform(session.Busy());
        platform.answer = row.answer;
        platform.knownData = kFiveBytes;
        platform.recording = row.failure;
        platform.throwAt = row.throwAt;
        RunWorker(platform, session, FiveByteImage());
        EXPECT_EQ(row.log, platform.log);
    }
}

// The window's log takes a crash's record from one prepared before the calls,
// finished without the heap: the same bytes as the record written at the end.
TEST(DownloadRecord, PreparedRecordFinishesAsTheRecord) {
    using namespace std::chrono;
    const std::tuple<TLogForm, uint64_t, std::optional<unsigned>> rows[] = {
        {{false, true, false}, 0, {}}, {{false, false, false}, 9, {}}, {{false, true, true}, 10, 3},
        {{true, true, false}, 18446744073709551615u, {}}};
    const auto time = sys_days(year(2026) / 12 / 7) + hours(3) + minutes(4) + seconds(5);
    for (const auto& [form, seconds, unit] : rows) {
        const TDownloadRecord record{UtcTimeText(time), "C:\\прошивки\\fw.hex", 0x14, 0xF0C, "transfer-crashed", 4,
                                     std::string(64, 'c'), seconds, "loader 1.2.3", unit};
        TPreparedRecord prepared(record, form);
        EXPECT_EQ(LogOpeningText(form) + LogRecordText(form, DownloadRecordText(record)),
                  prepared.Finish({2026, 12, 7, 3, 4, 5}, seconds));
    }
}

// "--log FILE" anywhere; the first other argument is the image.
TEST(WindowArgs, LogAndImage) {
    using O = std::optional<std::string>;
    const std::tuple<std::vector<std::string>, O, O> rows[] = {
        {{"a.hex", "b.hex"}, {}, "a.hex"},
        {{"--log", "l.tsv", "a.hex"}, "l.tsv", "a.hex"},
        {{"a.hex", "--log=l.tsv"}, "l.tsv", "a.hex"},
        {{"--log"}, "", {}},
    };
    for (const auto& [args, log, image] : rows) {
        EXPECT_EQ(log, WindowArgs(args).LogFile);
        EXPECT_EQ(image, WindowArgs(args).Image);
    }
}

TEST(DownloadWorker, SendsLow32BitsOfSizeAndSumZeroExtended) {
    struct Row {
        const uint8_t* data;
        int64_t size;
        uint16_t sum;
        std::string download;
    };
    const std::vector<Row> rows = {
        {kFiveBytes, 0x100000005, 0xFFFF, "Download(data,0,5,65535) busy=1"},
        {kFiveBytes, 0x100000000, 0x8000, "Download(data,0,0,32768) busy=1"},
        {kFiveBytes, 0x80000000, 1, "Download(data,0,2147483648,1) busy=1"},
        {kFiveBytes, INT64_MAX, 0, "Download(data,0,4294967295,0) busy=1"},
        {nullptr, 0, 0, "Download(null,0,0,0) busy=1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.download);
        TDownloadSession session;
        TFakePlatform platform(session.Busy());
        platform.knownData = kFiveBytes;
        TImageInfo info;
        info.Data = row.data;
        info.Size = row.size;
        info.Sum = row.sum;
        RunWorker(platform, session, info);
        ASSERT_EQ(7u, platform.log.size());
        EXPECT_EQ(row.download, platform.log[3]);
    }
}

// An exception counts as the failure of the step it arose in, and never
// leaves the worker; the hourglass goes off on every path that tried it on.
TEST(DownloadWorker, ExceptionsCountAsFailedSteps) {
    struct Row {
        std::string throwAt;
        TThrow kind;
        uint32_t isp;
        std::vector<std::string> log;
    };
    const std::vector<Row> rows = {
        {"Box( Загрузить программу ? | Подтверждение файла|0x34)", TThrow::BadAlloc, 1, {kConfirm}},
        {"Box( Загрузить программу ? | Подтверждение файла|0x34)", TThrow::Int, 1, {kConfirm}},
        {"Hourglass(on)", TThrow::BadAlloc, 1, {kConfirm, kHourglassOn, kIspFailed, kHourglassOffBusy}},
        {"ResetToISP(3690,791)",
         TThrow::Int,
         1,
         {kConfirm, kHourglassOn, kIsp, kIspFailed, kHourglassOffBusy}},
        {"Download(data,0,5,4660)",
         TThrow::BadAlloc,
         1,
         {kConfirm, kHourglassOn, kIsp, kDownload, kDownloadFailed, kHourglassOff}},
        {"ResetToAP()",
         TThrow::Int,
         1,
         {kConfirm, kHourglassOn, kIsp, kDownload, kAp, kApFailed, kHourglassOff}},
        {"Box(Загрузка завершена  |Поздравление|0x40)",
         TThrow::BadAlloc,
         1,
         {kConfirm, kHourglassOn, kIsp, kDownload, kAp, kDone, kHourglassOff}},
        {"Box(Ошибка перехода в режим загрузки  |Предупреждение|0x30)",
         TThrow::Int,
         0,
         {kConfirm, kHourglassOn, kIsp, kIspFailed, kHourglassOffBusy}},
        {"Hourglass(off)",
         TThrow::BadAlloc,
         1,
         {kConfirm, kHourglassOn, kIsp, kDownload, kAp, kDone, kHourglassOff}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.throwAt);
        TDownloadSession session;
        TFakePlatform platform(session.Busy());
        platform.knownData = kFiveBytes;
        platform.throwAt = row.throwAt;
        platform.throwKind = row.kind;
        platform.isp = row.isp;
        const TRun run = RunWorker(platform, session, FiveByteImage());
        EXPECT_EQ(1u, run.result);
        EXPECT_FALSE(run.busyAfter);
        EXPECT_EQ(row.log, platform.log);
    }
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

// Restores the process-wide image when a test leaves.
struct TCurrentImageReset {
    ~TCurrentImageReset() { CurrentImage.reset(); }
};

TEST(DownloadWorker, SendsTheImageOpenWhenYesIsAnswered) {
    testsupport::TempDir dir;
    const std::string first = dir.Path("first.bin"), second = dir.Path("second.bin");
    testsupport::WriteFile(first, Bytes({1, 2, 3}));
    testsupport::WriteFile(second, Bytes({0x10, 0x20, 0x30, 0x40, 0xF0}));
    TCurrentImageReset reset;

    TImageInfo windowInfo;
    ASSERT_TRUE(OpenImage(first, windowInfo));
    TDownloadSession session;
    TFakePlatform platform(session.Busy());
    platform.onConfirm = [&] { ASSERT_TRUE(OpenImage(second, windowInfo)); };
    platform.onDownload = [] {};
    RunWorker(platform, session, windowInfo);

    EXPECT_EQ(Bytes({0x10, 0x20, 0x30, 0x40, 0xF0}), platform.sentBytes);
    EXPECT_EQ(5u, platform.sentCount);
    EXPECT_EQ(0x10u + 0x20 + 0x30 + 0x40 + 0xF0, platform.sentSum);
}

// The library reads the bytes during the transfer; an Open then, or anything
// else done to the stream, must not move or change them.
TEST(DownloadWorker, TransferKeepsItsBytesWhateverHappensToTheImage) {
    const std::vector<uint8_t> firstBytes = Bytes({0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x7F});
    testsupport::TempDir dir;
    const std::string first = dir.Path("first.bin"), second = dir.Path("second.bin");
    testsupport::WriteFile(first, firstBytes);
    testsupport::WriteFile(second, Bytes({9, 9}));

    struct Row {
        const char* name;
        std::function<void(TImageInfo&)> duringTransfer;
    };
    const std::vector<Row> rows = {
        {"Open replaces the image, then the stream goes",
         [&](TImageInfo& info) {
             ASSERT_TRUE(OpenImage(second, info));
             CurrentImage.reset();
         }},
        {"the stream is overwritten in place, then emptied",
         [](TImageInfo&) {
             CurrentImage->SetPosition(0);
             const uint8_t junk[6] = {1, 1, 1, 1, 1, 1};
             CurrentImage->Write(junk, sizeof junk);
             std::memset(CurrentImage->MutableMemory(), 0x55, 6);
             CurrentImage->Clear();
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TCurrentImageReset reset;
        TImageInfo windowInfo;
        ASSERT_TRUE(OpenImage(first, windowInfo));
        TDownloadSession session;
        TFakePlatform platform(session.Busy());
        platform.onDownload = [&] { row.duringTransfer(windowInfo); };
        RunWorker(platform, session, windowInfo);
        EXPECT_EQ(firstBytes, platform.sentBytes);
        EXPECT_EQ(6u, platform.sentCount);
    }
}

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
    std::vector<TDownloadStep> steps;
    platform.onCall = [&] { steps.push_back(session.Step()); };
    platform.throwAt = "ResetToAP()";
    RunWorker(platform, session, FiveByteImage());
    using S = TDownloadStep;
    EXPECT_EQ((std::vector<S>{S::None, S::None, S::ResetToISP, S::Download, S::ResetToAP, S::None, S::None}),
              steps);
    EXPECT_EQ(S::None, session.Step());
}

}  // namespace

#include "window/WindowDownload.h"

#include "download/DownloadRecord.h"
#include "download/PreparedRecord.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "FakeDownloadPlatform.h"
#include "TestSupport.h"

namespace {

const std::string kConfirm = "Box( Загрузить программу ? | Подтверждение файла|0x34) busy=1";
const std::string kHourglassOn = "Hourglass(on) busy=1";
const std::string kLock = "Lock busy=1", kUnlock = "Unlock busy=0", kUnlockBusy = "Unlock busy=1";
const std::string kBusyText =
    "Загрузка не начата: на этом компьютере другая программа уже загружает прибор; в прибор ничего не отправлено";
const std::string kBusy = "Box(" + kBusyText + "|Предупреждение|0x30) busy=1";
const std::string kIsp = "ResetToISP(3690,791) busy=1";
const std::string kDownload = "Download(data,0,5,4660) busy=1";
const std::string kAp = "ResetToAP() busy=0";
const std::string kIspFailed = "Box(Ошибка перехода в режим загрузки  |Предупреждение|0x30) busy=1";
const std::string kHourglassOffBusy = "Hourglass(off) busy=1";
const std::string kDownloadFailed = "Box(Ошибка загрузки |Предупреждение|0x30) busy=0";
const std::string kApFailed = "Box(Ошибка выхода из режима загрузки  |Предупреждение|0x30) busy=0";
const std::string kDone = "Box(Загрузка завершена  |Поздравление|0x40) busy=0";

using namespace fakes;

std::vector<std::string> AfterYes(std::vector<std::string> then) {
    then.insert(then.begin(), {kConfirm, kHourglassOn, kLock});
    return then;
}

TEST(DownloadWorker, OutcomesCallsBoxesBusyAndHourglass) {
    using enum TDownloadLockTake;
    struct Row {
        const char* name;
        int answer;
        uint32_t isp, download, ap;
        std::vector<std::string> log;
        TDownloadLock lock = {Taken, {}};
    };
    const auto success = AfterYes({kIsp, kDownload, kAp, kUnlock, kDone, kHourglassOff});
    const std::vector<Row> rows = {
        {"No", 7, 1, 1, 1, {kConfirm}},
        {"box not shown", 0, 1, 1, 1, {kConfirm}},
        {"Cancel", 2, 1, 1, 1, {kConfirm}},
        {"OK is not Yes", 1, 1, 1, 1, {kConfirm}},
        {"loader mode refused", 6, 0, 1, 1, AfterYes({kIsp, kUnlockBusy, kIspFailed, kHourglassOffBusy})},
        {"transfer failed", 6, 1, 0, 1, AfterYes({kIsp, kDownload, kUnlock, kDownloadFailed, kHourglassOff})},
        {"return failed", 6, 1, 1, 0, AfterYes({kIsp, kDownload, kAp, kUnlock, kApFailed, kHourglassOff})},
        {"success", 6, 1, 1, 1, success},
        {"any nonzero succeeds", 6, 0xFFFFFFFF, 0x80000000, 2, success},
        {"high bits only", 6, 0x10000, 0x100, 0x80000000, success},
        {"lock held elsewhere", 6, 1, 1, 1, AfterYes({kBusy, kHourglassOffBusy}), {Held, {}}},
        {"lock not tried", 6, 1, 1, 1,
         AfterYes({"Box(" + kBusyText + "\nCM: x|Предупреждение|0x30) busy=1", kHourglassOffBusy}), {Failed, "CM: x"}},
        {"lock abandoned by its holder", 6, 1, 1, 1, success, {TakenOver, {}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TDownloadSession session;
        TFakePlatform platform(session.Busy());
        platform.answer = row.answer;
        platform.isp = row.isp;
        platform.download = row.download;
        platform.ap = row.ap;
        platform.lock = row.lock;
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
        TDownloadLockTake lock = TDownloadLockTake::Taken;
    };
    const Row rows[] = {
        {6, {}, "", AfterYes({"Record(busy,5) busy=1", kBusy, kHourglassOffBusy}), TDownloadLockTake::Held},
        {7,
         "Disk full.",
         "",
         {kConfirm, "Record(declined,5) busy=1", lost + "Disk full.|Предупреждение|0x30) busy=1"}},
        {6,
         std::nullopt,
         "Record(done,5)",
         AfterYes({kIsp, kDownload, kAp, kUnlock, "Record(done,5) busy=0", kDone, kHourglassOff,
                lost + "Out of memory.|Предупреждение|0x30) busy=0"})},
    };
    for (const Row& row : rows) {
        TDownloadSession session;
        TFakePlatform platform(session.Busy());
        platform.answer = row.answer;
        platform.knownData = kFiveBytes;
        platform.recording = row.failure;
        platform.throwAt = row.throwAt;
        platform.lock.Take = row.lock;
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

// Creating the one-download mutex, then a wait of no time: only a free or an abandoned one is ours.
TEST(DownloadLock, Verdicts) {
    using enum TDownloadLockTake;
    const std::tuple<uint32_t, uint32_t, TDownloadLockTake> rows[] = {{0, 0x0, Taken}, {0, 0x80, TakenOver},
        {0, 0x102, Held}, {0, 0xFFFFFFFF, Failed}, {5, 0, Held}, {6, 0, Failed}, {1450, 0, Failed}};
    for (const auto& [created, waited, take] : rows)
        EXPECT_EQ(take, DownloadLockVerdict(created, waited)) << created << " " << waited;
}

// "--log FILE" anywhere (%NAME% expanded), the usage, the first unknown option, the image.
TEST(WindowArgs, LogAndImage) {
    using O = std::optional<std::string>;
    const auto env = [](const std::string& name) {
        return name == "USERPROFILE" ? O("C:\\Users\\оператор") : name == "EMPTY" ? O("") : std::nullopt;
    };
    const std::tuple<std::vector<std::string>, O, O, bool, O> rows[] = {
        {{"a.hex", "b.hex"}, {}, "a.hex", false, {}},
        {{"--log", "l.tsv", "a.hex"}, "l.tsv", "a.hex", false, {}},
        {{"a.hex", "--log=l.tsv"}, "l.tsv", "a.hex", false, {}},
        {{"--log"}, "", {}, false, {}},
        {{"--log", "%USERPROFILE%\\Documents\\ж.tsv"}, "C:\\Users\\оператор\\Documents\\ж.tsv", {}, false, {}},
        {{"--log=%NOSUCH%\\%USERPROFILE%.tsv"}, "%NOSUCH%\\C:\\Users\\оператор.tsv", {}, false, {}},
        {{"--log", "100%%USERPROFILE%"}, "100%C:\\Users\\оператор", {}, false, {}},
        {{"--log", "%EMPTY%x%y"}, "x%y", {}, false, {}},
        {{"--log", "%%a%USERPROFILE"}, "%%a%USERPROFILE", {}, false, {}},
        {{"%USERPROFILE%.hex"}, {}, "%USERPROFILE%.hex", false, {}},
        {{"--help"}, {}, {}, true, {}},
        {{"-h", "a.hex"}, {}, "a.hex", true, {}},
        {{"-?"}, {}, {}, true, {}},
        {{"-x", "--bogus", "--help", "--other"}, {}, "-x", true, "--bogus"},
        {{"--"}, {}, {}, false, "--"},
    };
    for (const auto& [args, log, image, help, unknown] : rows) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const TWindowArgs found = WindowArgs(args, env);
        EXPECT_EQ(log, found.LogFile);
        EXPECT_EQ(image, found.Image);
        EXPECT_EQ(help, found.Help);
        EXPECT_EQ(unknown, found.Unknown);
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
        ASSERT_EQ(9u, platform.log.size());
        EXPECT_EQ(row.download, platform.log[4]);
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
        {"Lock", TThrow::Int, 1, AfterYes({kBusy, kHourglassOffBusy})},
        {"ResetToISP(3690,791)", TThrow::Int, 1,
         AfterYes({kIsp, kUnlockBusy, kIspFailed, kHourglassOffBusy})},
        {"Download(data,0,5,4660)", TThrow::BadAlloc, 1,
         AfterYes({kIsp, kDownload, kUnlock, kDownloadFailed, kHourglassOff})},
        {"ResetToAP()", TThrow::Int, 1, AfterYes({kIsp, kDownload, kAp, kUnlock, kApFailed, kHourglassOff})},
        {"Box(Загрузка завершена  |Поздравление|0x40)", TThrow::BadAlloc, 1,
         AfterYes({kIsp, kDownload, kAp, kUnlock, kDone, kHourglassOff})},
        {"Box(Ошибка перехода в режим загрузки  |Предупреждение|0x30)", TThrow::Int, 0,
         AfterYes({kIsp, kUnlockBusy, kIspFailed, kHourglassOffBusy})},
        {"Hourglass(off)", TThrow::BadAlloc, 1,
         AfterYes({kIsp, kDownload, kAp, kUnlock, kDone, kHourglassOff})},
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

}  // namespace

// fwimage download's console face: each ending's line, record and code, the
// library's process as fwimage reads it, the station's summary, the log's
// forms and file, the progress and the answers; what the end-to-end tests
// cannot reach.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#if defined(_WIN32)
#include <windows.h>

#include <future>
#include <latch>
#include <thread>

#include "runtime/Utf16.h"
#endif

#include "download/ConsoleProgress.h"
#include "download/ConsoleQuestion.h"
#include "download/DownloadConclusion.h"
#include "download/DownloadLog.h"
#include "download/SerialPrompt.h"
#include "host/LibraryHost.h"
#include "TestSupport.h"
#include "runtime/FileIO.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// Each ending: its stream, its record, its exit code; the detail in its
// line; a record that cannot be written makes a done unit "record lost"
// and leaves a failed one its code.
TEST(ConsoleDownload, Endings) {
    struct Row {
        TEnding ending;
        bool toError;
        std::string record;  // name and exit code; empty: none
        int code;
        bool nextUnit = false;  // a station loop goes on to the next instrument (the row's)
        bool recordFails = false;
    };
    const Row rows[] = {
        {TEnding::Done, false, "done 0", 0, true},
        {TEnding::LoaderRefused, true, "loader-refused 3", 3, true},
        {TEnding::TransferFailed, true, "transfer-failed 4", 4, true},
        {TEnding::ReturnFailed, true, "return-failed 5", 5, true},
        {TEnding::LoadCrashed, true, "load-crashed 1", 1},
        {TEnding::LoaderCrashed, true, "loader-crashed 3", 3, true},
        {TEnding::TransferCrashed, true, "transfer-crashed 4", 4, true},
        {TEnding::ReturnCrashed, true, "return-crashed 5", 5, true},
        {TEnding::Declined, true, "declined 2", 2},
        {TEnding::NotAsked, true, "not-asked 2", 2},
        {TEnding::NotOpened, true, "", 1},
        {TEnding::LogRefused, true, "", 2},
        {TEnding::Empty, true, "empty 1", 1},
        {TEnding::NoLibrary, true, "no-library 1", 1},
        {TEnding::NoHost, true, "failed 1", 1},
        {TEnding::Interrupted, true, "interrupted 130", 130},
        {TEnding::Closed, true, "closed 130", 130},
        {TEnding::LoadTimedOut, true, "timed-out 9", 9},
        {TEnding::TimedOut, true, "timed-out 9", 9, true},
        {TEnding::Abandoned, true, "abandoned 9", 9},
        {TEnding::NoStation, true, "", 2},
        {TEnding::WrongImage, true, "wrong-image 8", 8},
        {TEnding::Busy, true, "busy 10", 10},
        {TEnding::Done, false, "done 0", 6, true, true},
        {TEnding::TransferFailed, true, "transfer-failed 4", 4, true, true},
        {TEnding::TransferCrashed, true, "transfer-crashed 4", 4, true, true},
        {TEnding::Abandoned, true, "abandoned 9", 9, false, true},
        {TEnding::NotOpened, true, "", 1, false, true},
    };
    const std::string lost = "Disk full. Запись об этой загрузке в журнал потеряна.\n";
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(EndingRow(row.ending).LogName) + (row.recordFails ? ", record fails" : ""));
        std::ostringstream out, err, json;
        std::string record;
        const TEndingSink sink{out, err,
                               [&](std::string_view name, int code) -> std::optional<std::string> {
                                   record = std::string(name) + " " + std::to_string(code);
                                   if (row.recordFails) return "Disk full.";
                                   return std::nullopt;
                               },
                               &json, 7, {"SN-0001", "СТЕНД-1", "оператор"}};
        EXPECT_EQ(row.code, ConcludeDownload(row.ending, {"<detail>", "<more>"}, sink));
        std::string told[2] = {out.str(), err.str()};
        if (row.recordFails && !row.record.empty()) {
            ASSERT_GE(told[1].size(), lost.size());
            EXPECT_EQ(lost, told[1].substr(told[1].size() - lost.size()));
            told[1].resize(told[1].size() - lost.size());
        }
        const std::string& line = told[row.toError];
        EXPECT_EQ(1, std::count(line.begin(), line.end(), '\n')) << line;
        EXPECT_EQ("", told[!row.toError]);
        const std::string_view pattern = EndingRow(row.ending).Line;
        EXPECT_EQ(pattern.find("{}") != pattern.npos, line.find("<detail>") != line.npos) << line;
        EXPECT_EQ(line.find("{}"), line.npos) << line;
        EXPECT_EQ(row.record, record);
        EXPECT_EQ(row.nextUnit, EndingRow(row.ending).StationGoesOn);
        // Told in a station loop (unit 7): a loop that goes on never reads as ending.
        if (row.nextUnit) {
            EXPECT_EQ(line.npos, line.find("завершается")) << line;
        }
        const std::string outcome = record.substr(0, record.find(' '));
        EXPECT_EQ((nlohmann::json{{"format", 1},
                                  {"event", "ended"},
                                  {"outcome", outcome.empty() ? nlohmann::json() : nlohmann::json(outcome)},
                                  {"exit_code", row.code},
                                  {"text", line.substr(0, line.size() - 1)},
                                  {"unit", 7}, {"serial", "SN-0001"}, {"station", "СТЕНД-1"},
                                  {"operator", "оператор"}}),
                  nlohmann::json::parse(json.str()));
        testsupport::KeepJsonLines(json.str());
    }
}

// What fwimage makes of its library's process from the reports it read,
// how it ended and what else the watch saw: the ending, and the call and
// the code its line names; the readings it tells, none begun before
// DFU_Reset_To_ISP returned.
TEST(ConsoleDownload, LibraryProcessEndings) {
    using R = THostReport;
    using C = TLibraryCall;
    const auto report = [](R::TKind kind, C call = C::None, uint32_t value = 0, std::string text = {}) {
        return EncodeReport({.Kind = kind, .Call = call, .Value = value, .Text = std::move(text)});
    };
    const std::string loaded = report(R::Loaded), text = "Cannot load \"DFU.dll\"",
                      inDownload = loaded + report(R::Entered, C::ResetToISP) +
                                   report(R::Returned, C::ResetToISP, 1) + report(R::Entered, C::Download);
    const std::string polling = report(R::Entered, C::ProcessCount);
    const std::string closed(EndingRow(TEnding::Closed).Line);
    struct Row {
        const char* name;
        std::string reports;
        std::optional<uint32_t> exitCode;
        std::string ending;  // the line, or "" while the unit goes on
        std::vector<uint32_t> readings = {};
        TUnitSignals signals = {};
        std::optional<int> code = {};  // the unit's exit code, where the line does not tell it
    };
    const Row rows[] = {
        {"loading", report(R::Entered, C::Load), {}, ""},
        {"died loading", report(R::Entered, C::Load), 0xC0000005, "(код C0000005)"},
        {"not loaded", report(R::LoadFailed, C::None, 0, text), 1, text},
        {"loaded, nothing asked yet", loaded, {}, ""},
        {"ended before DFU_Reset_To_ISP", loaded, 0, "в DFU_Reset_To_ISP (код выхода 00000000)"},
        {"crash in DFU_Download", inDownload + report(R::Crashed, C::None, 0xC0000409), 5,
         "в DFU_Download (исключение C0000409)"},
        {"ended in DFU_Download", inDownload, 0, "в DFU_Download (код выхода 00000000)"},
        {"crash polling for DFU_Download", inDownload + polling + report(R::Crashed, C::ProcessCount, 0xC0000005),
         {},
         "в DFU_Get_ProcessCount (исключение C0000005)"},
        {"crash on another thread while polled", inDownload + polling + report(R::Crashed, C::None, 5), 5,
         "в DFU_Download (исключение 00000005)"},
        {"ended while polled", inDownload + polling, 0, "в DFU_Download (код выхода 00000000)"},
        {"thread ended while polled", inDownload + polling + report(R::ThreadEnded, C::Download, 3),
         {},
         "в DFU_Download (код выхода потока 00000003)"},
        {"thread ended in DFU_Reset_To_AP", inDownload + report(R::Returned, C::Download, 1) +
             report(R::Entered, C::ResetToAP) + report(R::ThreadEnded, C::ResetToAP, 3),
         {},
         "в DFU_Reset_To_AP (код выхода потока 00000003)", {}, {}, 5},
        {"returned to its application, ended", inDownload + report(R::Entered, C::ResetToAP), 9,
         "в DFU_Reset_To_AP (код выхода 00000009)"},
        {"finished, then ended", inDownload + report(R::Finished, C::None, 4), 0, "Загрузка завершена"},
        {"ended in DFU_Download as the console closed", inDownload, 0xC000013A, closed, {}, {.Closed = true}, 130},
        {"the console closed, the process sound", inDownload, {}, closed, {}, {.Closed = true}, 130},
        {"the third Ctrl+C", inDownload, {}, "Загрузка прекращена", {}, {.Presses = 3}},
        {"two Ctrl+C", inDownload, {}, "", {}, {.Presses = 2}},
        {"the last unit's 100 before and during DFU_Reset_To_ISP",
         loaded + polling + report(R::Returned, C::ProcessCount, 100) + report(R::Entered, C::ResetToISP) +
             polling + report(R::Returned, C::ResetToISP, 1) + report(R::Returned, C::ProcessCount, 100) +
             polling + report(R::Returned, C::ProcessCount, 255),
         {},
         "",
         {255}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        THostState state;
        // Reports arrive in pieces of any size.
        for (size_t at = 0; at < row.reports.size(); at += 5) {
            std::string bytes = row.reports.substr(0, at);
            state = {};
            state.Take(bytes);
            std::string rest = bytes + row.reports.substr(at);
            state.Take(rest);
            EXPECT_EQ("", rest);
        }
        state.ExitCode = row.exitCode;
        THostEnding detail{};
        const std::optional<TEnding> stop = UnitStop(state, row.signals, detail);
        const std::string line = stop ? EndingLine(*stop, {detail.First, detail.Second}) : "";
        EXPECT_EQ(row.ending.empty(), line.empty()) << line;
        EXPECT_NE(std::string::npos, line.find(row.ending)) << line;
        if (row.code) {
            EXPECT_EQ(*row.code, EndingRow(*stop).ExitCode);
        }
        EXPECT_EQ(row.readings, state.Readings);
    }
}

// The host's command line, as fwimage writes it and the host reads it back;
// anything else is refused.
TEST(ConsoleDownload, LibraryHostArguments) {
    const THostLaunch launch{.Commands = 0xFFFFFFFF, .Reports = 4, .Section = 1234, .Size = 5 << 20, .Sum = 65535};
    std::vector<std::string> words;
    for (std::istringstream args(HostArguments(launch)); args;) {
        std::string word;
        if (args >> word) words.push_back(word);
    }
    const std::optional<THostLaunch> read = ParseHostArguments({words.begin(), words.end()});
    ASSERT_TRUE(read);
    EXPECT_EQ(std::tie(launch.Commands, launch.Reports, launch.Section, launch.Size, launch.Sum),
              std::tie(read->Commands, read->Reports, read->Section, read->Size, read->Sum));
    const std::vector<std::vector<std::string_view>> refused = {
        {"--library-host", "1", "2", "3", "4"},
        {"--library-host", "1", "2", "3", "4", "5", "6"},
        {"--library-hosts", "1", "2", "3", "4", "5"},
        {"--library-host", "1", "2", "x3", "4", "5"},
        {"--library-host", "1", "2", "3", "-4", "5"},
        {"--library-host", "1", "2", "3", "4", "65536"},
    };
    for (const auto& args : refused) EXPECT_FALSE(ParseHostArguments(args)) << args[3] << " " << args[5];
}

// A station loop's summary and exit code: the last failed unit's.
TEST(ConsoleDownload, StationSummary) {
    TStationTally tally;
    for (int unit : {5, 0, 3, 0}) tally.Add(unit);
    std::ostringstream out, err;
    EXPECT_EQ(3, ConcludeStation(tally, {out, err, nullptr}));
    EXPECT_EQ("Итого: приборов 4, загружено 2, с ошибкой 2\n", out.str());
}

// A new log starts with a byte-order mark, a header row and CR LF; an
// existing one keeps its line ends, and an open last line is ended first.
// Only a log is ever written to: any other file, a firmware image above all,
// is refused as it is.
TEST(ConsoleDownload, LogForms) {
    const std::string
        bom = "\xEF\xBB\xBF",
        header = "UTC time\tFile\tSize (hex)\tSum (hex)\tOutcome\tExit code\tSHA-256\tSeconds\tTool\tUnit\tSerial"
                 "\tStation\tOperator",
        old = "2026-12-07T12:00:00Z\tC:\\fw.hex\t1770\t1E05\tdone\t0";  // six columns
    struct Row {
        const char* name;
        std::string existing;
        std::string appended;  // at the opening, then with one record; empty: not a log
    };
    const Row rows[] = {
        {"new", "", bom + header + "\r\n" + "R\r\n"},
        {"CR LF", bom + header + "\r\n" + old + "\r\n", "R\r\n"},
        {"LF, without a mark", old + "\n" + old + "\n", "R\n"},
        {"an open last line", old + "\r\n" + old, "\r\nR\r\n"},
        {"one line, no end yet", old, "\nR\n"},
        {"an older header", "UTC time\tFile\tSize\tSum\tOutcome\tExit code\n", "R\n"},
        {"a mark before a record", bom + old + "\t5a\t0\tloader 1.0\t\r\n", "R\r\n"},
        {"a firmware image", std::string("\x10\x20\x30\xF0\n", 5), ""},
        {"a header's name longer", "UTC time\tFile\tSize\tSum\tOutcome\tExit codes\n", ""},
        {"five columns", old.substr(0, old.rfind('\t')) + "\n", ""},
        {"another time", "2026-12-07 12:00:00Z" + old.substr(20) + "\n", ""},
        {"a size that is not hexadecimal", "2026-12-07T12:00:00Z\tC:\\fw.hex\t17G0\t1E05\tdone\t0\n", ""},
        {"a sum of five digits", "2026-12-07T12:00:00Z\tC:\\fw.hex\t1770\t1E050\tdone\t0\n", ""},
        {"an outcome in capitals", "2026-12-07T12:00:00Z\tC:\\fw.hex\t1770\t1E05\tDone\t0\n", ""},
        {"an exit code that is no number", old + "x\n", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string& e = row.existing;
        EXPECT_EQ(!row.appended.empty(), IsDownloadLog(e));
        if (row.appended.empty()) continue;
        const TLogForm form = LogFormOf(e.size(), e, e.empty() ? '\n' : e.back());
        TLogForm after = form;
        after.NewFile = after.LineOpen = false;
        EXPECT_EQ(row.appended, LogOpeningText(form) + LogRecordText(after, "R"));
    }
}

// --log never names a device, an image file or the image being downloaded;
// Windows drops a last part's trailing dots and blanks and takes a device's
// name with any extension, in any folder.
TEST(ConsoleDownload, LogPaths) {
    const TempDir dir;
    const testsupport::CurrentFolder inDir(dir.Root());
    WriteFile("fw.dat", std::string("\x01"));
    std::filesystem::create_hard_link("fw.dat", "link.tsv");
    const std::string self = "it is the image being downloaded";
    const std::pair<std::string, std::string> rows[] = {
        {"log.tsv", ""},
        {"fw.BIN", "a .BIN file is a firmware image, not a log"},
        {"a.hex. .", "a .hex file is a firmware image, not a log"},
        {"x.Lock", "a .Lock file is a firmware image, not a log"},
        {"./fw.dat", self},
        {"link.tsv", self}};
    for (const auto& [log, why] : rows)
        EXPECT_EQ(why.empty() ? std::nullopt
                              : std::optional("Cannot write the log file \"" + rt::ExpandFileName(log) +
                                              "\": " + why),
                  LogPathRefusal(log, "fw.dat"))
            << log;
    EXPECT_EQ("Cannot write the log file \"Con.tsv\": CON is a device, not a file",
              LogPathRefusal("Con.tsv", ""));
    // Between bars: a path, "=" and its device's name (none: a file).
    std::string_view devices =
        "CON=CON|con.tsv=CON|logs\\Nul.txt..=NUL|D:/a/aux .log=AUX|prn. =PRN|C:prn=PRN|nul:=NUL|com1=COM1|"
        "COM0.x.y=COM0|lpt9=LPT9|com\u00B9.tsv=COM\u00B9|conin$=CONIN$|CONOUT$.log=CONOUT$|COM10=|console.tsv=|"
        "LPT=|acon=|con\\log.tsv=|c:\\nul\\x.tsv=|con2.tsv=";
    for (size_t bar = 0; bar != std::string_view::npos; devices.remove_prefix(bar + 1)) {
        bar = devices.find('|');
        const std::string_view row = devices.substr(0, bar);
        EXPECT_EQ(row.substr(row.rfind('=') + 1), ReservedDeviceName(row.substr(0, row.rfind('=')))) << row;
    }
}

#if defined(_WIN32)
// The file under Windows' rules: a file that is not a log is left as it is;
// a record lands at the end after another writer's; a log held by a viewer
// is written once the viewer lets go; writers at the same time, each with a
// handle of its own as stations on a share have, keep their records whole.
TEST(ConsoleDownload, LogFile) {
    const TempDir dir;
    const auto read = [](const std::string& path) {
        const std::vector<uint8_t> bytes = ReadFile(path);
        return std::string(bytes.begin(), bytes.end());
    };
    const std::string image = dir.Path("fw.dat"), firmware("\x10\x20\x30\xF0", 4);
    WriteFile(image, firmware);
    EXPECT_THROW_MSG(TDownloadLogFile(image, 0), ELogRefused, NotALogText(image));
    EXPECT_EQ(firmware, read(image));

    const std::string log = dir.Path("журнал.tsv");
    {
        TDownloadLogFile first(log, 0);
        EXPECT_EQ(std::nullopt, AppendToDownloadLog(log, "second"));
        EXPECT_EQ(std::nullopt, first.Append("first"));
    }
    const std::string opened = read(log).substr(0, read(log).find("\r\n") + 2);
    EXPECT_EQ(opened + "second\r\nfirst\r\n", read(log));

    const HANDLE viewer = CreateFileW(rt::FileCallName(log).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, viewer);
    std::future<std::optional<std::string>> held =
        std::async(std::launch::async, [&] { return AppendToDownloadLog(log, "held"); });
    EXPECT_EQ(std::future_status::timeout, held.wait_for(std::chrono::milliseconds(200)));
    CloseHandle(viewer);
    EXPECT_EQ(std::nullopt, held.get());
    EXPECT_EQ(opened + "second\r\nfirst\r\nheld\r\n", read(log));

    // A record the volume takes only part of leaves no part behind, as fwimage
    // (its file open) and the window (the file opened per record) write it;
    // where the end cannot be set back, the failure says so.
    const std::string before = read(log);
    for (const bool window : {false, true})
        for (const bool rollbackFails : {false, true}) {
            SCOPED_TRACE(std::string(window ? "window" : "fwimage") + (rollbackFails ? ", stuck" : ""));
            std::optional<TDownloadLogFile> file;
            if (!window) file.emplace(log, 0);
            const TLogWriteFault fault{5, rollbackFails};
            LogWriteFault = &fault;
            const std::optional<std::string> failure =
                file ? file->Append("torn") : AppendToDownloadLog(log, "torn");
            LogWriteFault = nullptr;
            ASSERT_TRUE(failure);
            EXPECT_EQ(rollbackFails, failure->ends_with("; the log may now end in a partial line."))
                << *failure;
            file.reset();
            EXPECT_EQ(rollbackFails ? before + "torn\r" : before, read(log));
            WriteFile(log, before);
        }

    // A new log: one header among them too. Two writers keep the file open,
    // two open it for each record, as the window does.
    const std::string shared = dir.Path("shared.tsv");
    const auto record = [](int w, int r) {
        return "writer " + std::to_string(w) + " record " + std::to_string(r);
    };
    std::latch start(4);
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&, w] {
            start.arrive_and_wait();
            std::optional<TDownloadLogFile> file;
            if (w % 2) file.emplace(shared, 0);
            for (int r = 0; r < 50; ++r)
                EXPECT_EQ(std::nullopt,
                          file ? file->Append(record(w, r)) : AppendToDownloadLog(shared, record(w, r)));
        });
    for (std::thread& writer : writers) writer.join();
    const std::string text = read(shared);
    EXPECT_EQ(0u, text.find(opened));
    EXPECT_EQ(201, std::count(text.begin(), text.end(), '\n'));
    for (int w = 0; w < 4; ++w)
        for (int r = 0; r < 50; ++r)
            EXPECT_NE(std::string::npos, text.find(std::string("\n").append(record(w, r)).append("\r\n")));
}
#endif

// The columns of older logs keep their places; the unit's and the serial's are empty when not
// given; a name the system gives never breaks the line.
TEST(ConsoleDownload, RecordColumns) {
    TDownloadRecord record{"T", "C:\\fw.hex", 0x12345, 0xAB, "done", 0, "5a", 7, "t", {}, "", "ST", "O\tP\n"};
    EXPECT_EQ("T\tC:\\fw.hex\t12345\t00AB\tdone\t0\t5a\t7\tt\t\t\tST\tO P ", DownloadRecordText(record));
    record.Unit = 12;
    EXPECT_NE(std::string::npos, DownloadRecordText(record).find("\tt\t12\t\tST\t"));
    record.Serial = std::string(kSerialMostBytes, 's');
    // The room proved before the library is called holds a record of a long path.
    record.FullPath = "C:\\" + std::string(1000, 'p');
    EXPECT_LE(DownloadRecordText(record).size() + 2, LongestDownloadLogRecord(record.FullPath));
}

// The progress, redrawn in place on a console at most every 50 ms, or a line
// per change into a file; after a delivered image the finished state.
TEST(ConsoleDownload, Progress) {
    const std::string searching = "Поиск устройства ...";
    const auto loading = [](const std::string& bar, int percent) {
        return "Загрузка ... [" + bar + "] " + std::to_string(percent) + "%";
    };
    const std::string full = loading("####################", 100);
    // A reading: 255 searching, else loading; at ms.
    using Readings = std::vector<std::pair<uint32_t, int>>;
    struct Row {
        const char* name;
        bool console;
        Readings readings;
        bool delivered;
        std::string out;  // as JSON Lines: each event's name and percentage
        bool json = false;
    };
    const std::vector<Row> rows = {
        {"nothing to show", true, {}, false, ""},
        {"a shorter line wipes the longer one",
         true,
         {{255, 0}, {40, 100}, {255, 200}},
         false,
         "\r" + searching + std::string("\r") + loading("########............", 40) + "\r" + searching +
             std::string(19, ' ') + "\r" + searching + "\n"},
        {"within 50 ms only the last reading, at the end",
         true,
         {{10, 0}, {20, 10}, {30, 49}},
         false,
         std::string("\r") + loading("##..................", 10) + std::string("\r") +
             loading("######..............", 30) + "\n"},
        {"above 100 no percentage: the last one stays",
         true,
         {{40, 0}, {150, 60}, {65531, 120}},
         false,
         std::string("\r") + loading("########............", 40) + "\n"},
        {"delivered: 100 % at the end",
         true,
         {{90, 0}, {99, 10}},
         true,
         std::string("\r") + loading("##################..", 90) + "\r" + full + "\n"},
        {"delivered without a reading", true, {}, true, "\r" + full + "\n"},
        {"into a file: each change and 10 % step",
         false,
         {{255, 0}, {5, 1}, {9, 2}, {12, 3}, {19, 4}, {255, 5}, {91, 6}},
         false,
         searching + "\n" + loading("#...................", 5) + "\n" + loading("##..................", 12) +
             "\n" + searching + "\n" + loading("##################..", 91) + "\n"},
        {"into a file, delivered",
         false,
         {{91, 0}},
         true,
         loading("##################..", 91) + "\n" + full + "\n"},
        {"into a file, delivered at 100", false, {{100, 0}}, true, full + "\n"},
        {"as JSON Lines: each change and 10 % step",
         false,
         {{255, 0}, {5, 1}, {9, 2}, {12, 3}, {19, 4}, {255, 5}, {91, 6}, {95, 7}},
         true,
         "searching null\nloading 5\nloading 12\nsearching null\nloading 91\nloading 100\n",
         true},
        {"as JSON Lines: above 100 counts toward no step",
         false,
         {{12, 0}, {1000, 1}, {15, 2}, {65535, 3}},
         false,
         "loading 12\n",
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::ostringstream out;
        TConsoleProgress progress(out, row.json      ? TProgressForm::Json
                                       : row.console ? TProgressForm::Console
                                                     : TProgressForm::File);
        for (const auto& [reading, ms] : row.readings) {
            const auto now = std::chrono::milliseconds(ms);
            if (reading == 255)
                progress.Searching(now);
            else
                progress.Loading(reading, now);
            progress.Tick(now);
        }
        progress.Finish(row.delivered);
        std::string events = row.json ? "" : out.str();
        std::istringstream lines(row.json ? out.str() : "");
        if (row.json) testsupport::KeepJsonLines(out.str());
        for (std::string line; std::getline(lines, line);) {
            const nlohmann::json event = nlohmann::json::parse(line);
            EXPECT_EQ(1, event.at("format")) << line;
            events += event.at("event").get<std::string>() + " " +
                      event.value("percent", nlohmann::json()).dump() + "\n";
        }
        EXPECT_EQ(row.out, events);
    }
}

TEST(ConsoleDownload, YesAnswers) {
    for (const char* yes : {"y", "Y", " YeS\r\n", "д", "Д", "ДА\n", "дак", "\tyup"})
        EXPECT_TRUE(IsYesAnswer(yes)) << yes;
    for (const char* no : {"", "\r\n", "n", "нет", "Н", "ay", "е", "\xD0"})
        EXPECT_FALSE(IsYesAnswer(no)) << no;
    EXPECT_TRUE(IsEndOfInput("\x1a\r\n"));
    EXPECT_FALSE(IsEndOfInput("\x1ay\r\n"));
}

// --ask-serial: asked until a serial a record can keep is typed, a refusal told before the prompt.
TEST(ConsoleDownload, AskSerial) {
    const std::string p(kSerialPrompt), control = SerialRefusedLine(TSerialProblem::Control) + "\n",
                                         tooLong = SerialRefusedLine(TSerialProblem::TooLong) + "\n";
    std::string ru64;  // 64 characters, 128 bytes
    while (ru64.size() < 128) ru64 += "Ж";
    using O = std::optional<std::string>;  // a typed line; none: the read is cut
    const std::tuple<std::vector<O>, O, std::vector<std::string>> rows[] = {
        {{"  SN 0001 \r\n"}, "SN 0001", {p}},
        {{"\r\n", "   \r\n", "A\r\n"}, "A", {p, p, p}},
        {{"SN\t0001\r\n", "SN0001\t\r\n", "B\r\n"}, "B", {p, control + p, control + p}},
        {{ru64 + "\r\n"}, ru64, {p}},
        {{std::string(65, 'x') + "\r\n", "x\r\n"}, "x", {p, tooLong + p}},
        {{"\r\n", "\x1a\r\n"}, {}, {p, p}},
        {{{}}, {}, {p}},
    };
    for (const auto& [typed, serial, shown] : rows) {
        std::vector<std::string> told;
        const auto read = [&](auto text) { return typed.at((told.emplace_back(text), told.size() - 1)); };
        EXPECT_EQ(serial, AskSerial(read, ""));
        EXPECT_EQ(shown, told);
    }
}

// Done records by serial and image, read as the log grows (a line without its end waits).
TEST(ConsoleDownload, SerialHistory) {
    const std::string a(64, 'a'), b(64, 'b');
    const auto record = [](char minute, const char* outcome, const std::string& sha, const char* serial) {
        return "2026-12-07T12:0" + std::string(1, minute) + ":00Z\tC:\\fw.hex\t0014\t0F0C\t" + outcome +
               "\t0\t" + sha + "\t3\tfwimage 1.2.3\t1\t" + serial + "\tСТЕНД-" + minute + "\tоператор\r\n";
    };
    const std::string log = "2026-12-07T12:00:00Z\tC:\\fw.hex\t1770\t1E05\tdone\t0\r\n" +
                            record('1', "done", a, "SN-1") + record('2', "transfer-failed", a, "SN-2") +
                            record('4', "done", a, "SN-1"),
                      torn = record('5', "done", a, "SN-2");
    TSerialHistory history;
    history.Take(log + torn.substr(0, torn.size() - 1));
    const auto told = [&](const char* serial, const std::string& sha) {
        const auto done = history.LastDone(serial, sha);
        return done ? AlreadyDoneLine(serial, *done) : ""; };
    EXPECT_EQ("Прибор SN-1 уже прошит этой прошивкой на станции СТЕНД-4, 2026-12-07T12:04:00Z", told("SN-1", a));
    EXPECT_EQ("", told("SN-1", b) + told("SN-2", a) + told("", a));
    history.Take(torn);
    EXPECT_EQ("Прибор SN-2 уже прошит этой прошивкой на станции СТЕНД-5, 2026-12-07T12:05:00Z", told("SN-2", a));
}

// fwimage report: the counts of production logs of every form, as its JSON
// lines give them, and its page.
#include <nlohmann/json.hpp>
#include <sstream>

#include "FwimageRun.h"
#include "TestSupport.h"
#include "runtime/FileIO.h"

using testsupport::DataPath;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Each JSON line as "event key: attempts done units done_units first_pass_units".
std::vector<std::string> CountLines(const std::string& out) {
    std::vector<std::string> lines;
    for (const std::string& text : Lines(out)) {
        const auto line = nlohmann::json::parse(text);
        const std::string event = line["event"];
        const auto key = event == "image" ? line["name"] : event == "summary" ? line["records"] : line[event];
        std::string counts = event + " " + (key.is_null() ? "null" : key.dump()) + ":";
        for (const char* member : {"attempts", "done", "units", "done_units", "first_pass_units"})
            counts += " " + line[member].dump();
        lines.push_back(counts);
    }
    return lines;
}

constexpr const char* kShaA = "008a7da95ae5ac003c72c6d5242559b488966ae7e1b57791ff7f086996bb6ddf";

// A record of one of the log's forms: 6, 10 or 13 columns.
std::string Record(const std::string& time, const std::string& outcome, const std::string& serial = "-",
                   const std::string& sha = kShaA, const std::string& file = "C:\\fw\\a.hex") {
    std::string line = time + "\t" + file + "\t0003\t0102\t" + outcome + "\t0";
    if (sha != "-") line += "\t" + sha + "\t5\tfwimage 1.2.0\t";
    if (serial != "-") line += "\t" + serial + "\tST-1\tivanov";
    return line + "\n";
}

}  // namespace

// The two logs of the README: an old one, and one with serials, a retry, a
// unit that waited for another program and a torn record.
TEST(Report, CountsOfTwoLogs) {
    const TRun r = RunTool({"report", "--json", DataPath("report/old.tsv"), DataPath("report/new.tsv")});
    EXPECT_EQ(0, r.code);
    EXPECT_EQ(DataPath("report/new.tsv") +
                  ":7: not a record (7 columns; a record has 6, 10, or 13 or more); skipped\n",
              r.err);
    const std::vector<std::string> expected = {
        "image \"fw-1.0.hex\": 4 2 4 2 2", "image \"fw-1.1.hex\": 8 5 5 4 2", "station null: 4 2 4 2 2",
        "station \"ST-1\": 4 3 2 2 1",     "station \"ST-2\": 4 2 3 2 1",     "day \"2026-12-01\": 2 1 2 1 1",
        "day \"2026-12-02\": 2 1 2 1 1",   "day \"2026-12-03\": 4 3 3 3 2",   "day \"2026-12-04\": 4 2 3 2 1",
        "summary 14: 12 7 9 6 4"};
    EXPECT_EQ(expected, CountLines(r.out));
    const auto image = nlohmann::ordered_json::parse(Lines(r.out).at(1));
    EXPECT_EQ(nlohmann::ordered_json::parse(
                  R"({"format":1,"event":"image",
                  "sha256":"c8610b4819f24df875c258f3d16f13287ced5c7a02973867505a28abc5a6db40","name":"fw-1.1.hex",
                  "attempts":8,"done":5,"units":5,"done_units":4,"first_pass_units":2,
                  "outcomes":{"busy":1,"done":5,"loader-refused":1,"transfer-failed":2},
                  "first_pass_yield":40.0,"final_yield":80.0})"),
              image);
    EXPECT_EQ(
        R"({"format":1,"event":"summary","logs":2,"records":14,"skipped_lines":1,"since":null,"until":null,)"
        R"("attempts":12,"done":7,"units":9,"done_units":6,"first_pass_units":4,"outcomes":{"busy":1,)"
        R"("declined":1,"done":7,"loader-refused":1,"return-failed":1,"transfer-failed":3},)"
        R"("first_pass_yield":44.4,"final_yield":66.7})",
        Lines(r.out).back());
}

// One log per row: its images' and summary's counts, and what the error
// output says.
TEST(Report, Rules) {
    struct Row {
        std::string what;
        std::string log;
        std::vector<std::string> counts;  // image and summary lines as CountLines gives them
        std::vector<std::string> options = {};
        std::string err = "";
    };
    const std::string bomCrlf = "\xEF\xBB\xBFUTC time\tFile\tSize\tSum\tOutcome\tExit code\r\n";
    const std::string shaB(64, 'b');
    const Row rows[] = {
        {"the oldest form: six columns, LF, no header; grouped by the file's name",
         Record("2026-12-01T09:00:00Z", "done", "-", "-") +
             Record("2026-12-01T09:01:00Z", "return-failed", "-", "-") +
             Record("2026-12-01T09:01:00Z", "done", "-", "-", "D:\\b.hex"),
         {"image \"a.hex\": 2 1 2 1 1", "image \"b.hex\": 1 1 1 1 1", "summary 3: 3 2 3 2 2"}},
        {"the older header, a mark and CR LF",
         bomCrlf + "2026-12-01T09:00:00Z\ta.hex\t0003\t0102\tdone\t0\r\n",
         {"image \"a.hex\": 1 1 1 1 1", "summary 1: 1 1 1 1 1"}},
        {"nothing sent: no attempt, no unit; timed-out may have sent",
         Record("2026-12-01T09:00:00Z", "declined", "S1") +
             Record("2026-12-01T09:00:01Z", "not-asked", "S1") +
             Record("2026-12-01T09:00:02Z", "interrupted", "S1") +
             Record("2026-12-01T09:00:03Z", "wrong-image", "S1") +
             Record("2026-12-01T09:00:04Z", "empty", "S1") + Record("2026-12-01T09:00:05Z", "busy", "S1") +
             Record("2026-12-01T09:00:06Z", "no-library", "S1") +
             Record("2026-12-01T09:00:07Z", "failed", "S1") +
             Record("2026-12-01T09:00:08Z", "load-crashed", "") +
             Record("2026-12-01T09:00:09Z", "timed-out", "") + Record("2026-12-01T09:00:10Z", "done", "S1"),
         {"image \"a.hex\": 2 1 2 1 1", "summary 11: 2 1 2 1 1"}},
        {"the earliest decides, not the last nor the first read",
         Record("2026-12-01T09:00:05Z", "done", "S1") +
             Record("2026-12-01T09:00:01Z", "transfer-failed", "S1") +
             Record("2026-12-01T09:00:09Z", "done", "S1") + Record("2026-12-01T09:00:01Z", "done", "S2"),
         {"image \"a.hex\": 4 3 2 2 1", "summary 4: 4 3 2 2 1"}},
        {"a serial is one unit across images; a record without one is a unit",
         Record("2026-12-01T09:00:00Z", "done", "S1") + Record("2026-12-01T09:00:01Z", "done", "S1", shaB) +
             Record("2026-12-01T09:00:02Z", "done", "") + Record("2026-12-01T09:00:03Z", "done", ""),
         {"image \"a.hex\": 3 3 3 3 3", "image \"a.hex\": 1 1 1 1 1", "summary 4: 4 4 3 3 3"}},
        {"both days inclusive",
         Record("2026-12-01T23:59:59Z", "done") + Record("2026-12-02T00:00:00Z", "done") +
             Record("2026-12-03T23:59:59Z", "done") + Record("2026-12-04T00:00:00Z", "done"),
         {"image \"a.hex\": 2 2 2 2 2", "summary 2: 2 2 2 2 2"},
         {"--since", "2026-12-02", "--until", "2026-12-03"}},
        {"lines that are no record, told and skipped",
         Record("2026-12-01T09:00:00Z", "done") + "\n2026-12-01T09:00:00Z\ta.hex\t3\t0102\tdone\t0\n" +
             Record("2026-12-01T09:00:00Z", "done").substr(0, 120) + "\n" +
             Record("2026-12-01T09:00:00Z", "done", "-", std::string(64, 'B')) +
             Record("2026-12-01T09:00:00Z", "done", "S1").replace(115, 1, 1, 'x'),
         {"image \"a.hex\": 1 1 1 1 1", "summary 1: 1 1 1 1 1"},
         {},
         "L:3: not a record (its first six columns are not a record's time, file, size, sum, outcome and exit code)"
         "; skipped\nL:4: not a record (9 columns; a record has 6, 10, or 13 or more); skipped\n"
         "L:5: not a record (its SHA-256 is not 64 hexadecimal digits); skipped\n"
         "L:6: not a record (its seconds are not a whole number); skipped\n"},
    };
    TempDir dir;
    const testsupport::CurrentFolder in(dir.Root());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WriteFile("L", row.log);
        std::vector<std::string> args{"report", "--json"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.push_back("L");
        const TRun r = RunTool(args);
        EXPECT_EQ(0, r.code);
        std::vector<std::string> counts;
        for (const std::string& line : CountLines(r.out))
            if (line.starts_with("image") || line.starts_with("summary")) counts.push_back(line);
        EXPECT_EQ(row.counts, counts);
        EXPECT_EQ(row.err, r.err);
    }
}

// A log that cannot be read is told, the others still counted; the page
// escapes the log's texts and fetches nothing.
TEST(Report, FailuresAndThePage) {
    TempDir dir;
    const testsupport::CurrentFolder in(dir.Root());
    WriteFile("fw.hex", std::string(":00000001FF\n"));
    WriteFile("L", Record("2026-12-01T09:00:00Z", "done", "<S>", kShaA, "C:\\<b>&\"'.hex"));
    const TRun r = RunTool({"report", "--html", "page.html", "fw.hex", "missing.tsv", "L"});
    EXPECT_EQ(1, r.code);
    EXPECT_EQ(
        "Cannot read the log \"fw.hex\": it is not a log (it starts neither with the log's header row nor "
        "with a record)\nCannot open file \"" +
            dir.Path("missing.tsv") + "\". " + rt::SysErrorMessage(2) + ".\n",
        r.err);
    EXPECT_NE(std::string::npos, r.out.find("\nAll\nRecords  Logs  Attempts")) << r.out;
    const std::vector<uint8_t> bytes = testsupport::ReadFile("page.html");
    const std::string page(bytes.begin(), bytes.end());
    EXPECT_NE(std::string::npos, page.find(">&lt;b&gt;&amp;&quot;&#39;.hex<")) << page;
    for (const char* fetches : {"<b>", "src=", "href=", "url(", "@import", "<script", "<link"})
        EXPECT_EQ(std::string::npos, page.find(fetches)) << fetches;
}

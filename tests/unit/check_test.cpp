// fwimage check: what it finds in planted files, as text and as JSON, and
// that it refuses only what the window refuses. Its table of planted files
// against another reader of the format is cli/test/check_planted.py.
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "check/HexCheck.h"
#include "image/CommandImage.h"
#include "FwimageRun.h"
#include "TestSupport.h"

using testsupport::HexRecord;
using testsupport::TempDir;
using testsupport::WriteFile;
using testsupport::ZeroRunsHex;

namespace {

// check --json on the files, each JSON line parsed back.
std::vector<nlohmann::json> CheckedJson(const std::vector<std::string>& files, int& code) {
    std::vector<std::string> args = {"check", "--json"};
    args.insert(args.end(), files.begin(), files.end());
    const TRun r = RunTool(args);
    code = r.code;
    EXPECT_EQ("", r.err);
    std::vector<nlohmann::json> parsed;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) parsed.push_back(nlohmann::json::parse(line));
    return parsed;
}

}  // namespace

TEST(Fwimage, CheckReportsWhatWasPlanted) {
    TempDir dir;
    std::vector<uint8_t> low(16), high(16);
    for (uint8_t i = 0; i < 16; ++i) low[i] = i, high[i] = static_cast<uint8_t>(0x10 + i);
    const std::string base = HexRecord(0, 4, {0, 0}), a = HexRecord(0, 0, low), b = HexRecord(0x10, 0, high),
                      end = ":00000001FF\n";
    // One data digit changed, the checksum left as it was.
    std::vector<uint8_t> changed = low;
    changed[0] = 0x02;
    const std::string aRight = HexRecord(0, 0, changed);
    const std::string aChanged = aRight.substr(0, aRight.size() - 3) + a.substr(a.size() - 3);
    std::string block;  // 320 bytes, longer than a record can be
    for (uint32_t at = 0; at < 320; at += 16) block += HexRecord(at, 0, low);
    const std::string badData = ":04000000010G0304F2\n", badType = ":040000G001020304F2\n";

    struct Planted {
        uint64_t line;
        std::string kind;
        nlohmann::json fields = nlohmann::json::object();
    };
    struct Case {
        std::string name;
        std::string text;
        std::vector<Planted> findings;
        int code;
    };
    const Case cases[] = {
        {"clean", base + a + b + end, {}, 0},
        {"checksum",
         base + aChanged + b + end,
         {{2,
           "checksum",
           {{"found", a.substr(a.size() - 3, 2)}, {"expected", aRight.substr(aRight.size() - 3, 2)}}}},
         7},
        {"no-end", base + a + b, {{3, "no-end"}}, 7},
        // What follows the end-of-file record and changes nothing does not count.
        // Findings come as found: those of the whole file's reading last.
        {"after-end",
         base + a + end + "\n" + HexRecord(0, 4, {0, 1}) + b + end + "after\n",
         {{8, "not-record", {{"severity", "note"}}},
          {6,
           "after-end",
           {{"end_line", 3},
            {"records", 1},
            {"last_line", 6},
            {"text",
             "data after the end-of-file record of line 3 still counts: 1 data record from here to line 6"}}}},
         7},
        // A block written twice is one finding.
        {"same-again",
         base + block + block + end,
         {{22,
           "overlap",
           {{"same_data", true},
            {"last_line", 41},
            {"earlier_first_line", 2},
            {"earlier_last_line", 21},
            {"first", "00000000"},
            {"last", "0000013F"}}}},
         7},
        {"different-again",
         base + a + b + HexRecord(0x1F, 0, {0x1F}) + HexRecord(8, 0, {0xEE}) + end,
         {{4, "overlap", {{"same_data", true}, {"earlier_first_line", 3}, {"first", "0000001F"}}},
          {5,
           "overlap",
           {{"same_data", false}, {"earlier_first_line", 2}, {"first", "00000008"}, {"last", "00000008"}}}},
         7},
        // Each rewrite is compared with the first bytes, at their addresses.
        {"rewritten-back",
         base + a + aRight + a + end,
         {{3,
           "overlap",
           {{"same_data", false}, {"last_line", 4}, {"earlier_first_line", 2}, {"earlier_last_line", 2}}}},
         7},
        {"rewritten-alike",
         base + a + a + a + end,
         {{3, "overlap", {{"same_data", true}, {"last_line", 4}}}},
         7},
        {"swapped",
         base + HexRecord(0, 0, {1, 2}) + HexRecord(0, 0, {2, 1}) + end,
         {{3, "overlap", {{"same_data", false}}}},
         7},
        // The same address fields under another base write other addresses.
        {"other-base", base + a + HexRecord(0, 4, {0, 1}) + a + end, {}, 0},
        {"start-address",
         base + a + HexRecord(0, 5, {0x08, 0, 1, 0x31}) + end,
         {{3, "start-address", {{"address", "08000131"}}}},
         0},
        {"far-region", ZeroRunsHex({{0, 4}, {0x200000, 4}}), {{2, "far-region", {{"first", "00000000"}}}}, 7},
        // The window's first pass fails on line 3 before its second reads line 2's data.
        {"refused-field", base + badData + badType + aChanged + end, {{3, "refused"}}, 1},
        {"refused-data", base + badData + aChanged, {{2, "refused"}}, 1},
        {"refused-short", base + ":0400000001\n" + end, {{2, "refused"}}, 1},
        {"refused-size", ZeroRunsHex({{0, 1}, {0x80000000, 1}}), {{0, "refused"}}, 1},
        {"refused-size-by-one", ZeroRunsHex({{0, 1}, {0x7FFFFFFF, 1}}), {{0, "refused"}}, 1},
        {"largest-size", ZeroRunsHex({{0, 1}, {0x7FFFFFFE, 1}}), {{2, "far-region"}}, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir.Path(c.name + ".hex");
        WriteFile(file, c.text);
        int code = -1;
        const std::vector<nlohmann::json> json = CheckedJson({file}, code);
        EXPECT_EQ(c.code, code);
        ASSERT_EQ(1u, json.size());
        EXPECT_EQ(c.code, json[0]["exit_code"]);
        EXPECT_EQ(1, json[0].value("format", 0));
        EXPECT_EQ(file, json[0].value("path", ""));
        // A refusal of what the file holds is a finding, not a failure to read it.
        EXPECT_FALSE(json[0].contains("error"));
        const nlohmann::json& found = json[0]["findings"];
        ASSERT_EQ(c.findings.size(), found.size()) << found.dump();
        for (size_t i = 0; i < c.findings.size(); ++i) {
            const Planted& p = c.findings[i];
            EXPECT_EQ(p.kind, found[i]["kind"]);
            EXPECT_EQ(p.line, found[i]["line"].is_null() ? 0 : found[i]["line"].get<uint64_t>());
            EXPECT_EQ(file, found[i]["path"]);
            for (const auto& [key, value] : p.fields.items()) {
                EXPECT_EQ(value, found[i][key]) << key;
            }
        }
        // A refusal names the window's failure, as info shows it.
        if (c.code == 1) {
            EXPECT_EQ(RunTool({"info", file}).err, found[0]["text"].get<std::string>() + "\n");
        }
        // The text form: one line per finding.
        std::string text;
        for (const nlohmann::json& f : found) {
            const std::string line = f["line"].is_null() ? "" : std::string(":").append(f["line"].dump());
            text += file + line + ": " + f["severity"].get<std::string>() + ": " +
                    f["text"].get<std::string>() + "\n";
        }
        const TRun r = RunTool({"check", file});
        EXPECT_EQ(c.code, r.code);
        EXPECT_EQ(text, r.out);
    }

    // Several files: the worst one's code; a .bin has only the open's checks.
    const std::string bin = dir.Path("image.bin");
    WriteFile(bin, std::string("\x01\x02"));
    const struct {
        std::vector<std::string> files;
        int code;
    } runs[] = {
        {{bin, dir.Path("clean.hex")}, 0},
        {{dir.Path("clean.hex"), dir.Path("no-end.hex"), bin}, 7},
        {{dir.Path("refused-data.hex"), dir.Path("no-end.hex")}, 1},
        {{dir.Path("missing.bin"), dir.Path("clean.hex")}, 1},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.files.front());
        int code = -1;
        const std::vector<nlohmann::json> json = CheckedJson(run.files, code);
        EXPECT_EQ(run.files.size(), json.size());
        EXPECT_EQ(run.code, code);
        // A file that cannot be read: the error beside its refusal.
        const nlohmann::json& first = json.at(0);
        const bool unreadable = run.files.front() == dir.Path("missing.bin");
        EXPECT_EQ((unreadable ? nlohmann::json{{"text", first["findings"].at(0)["text"]}, {"os_code", 2}}
                              : nlohmann::json()),
                  first.value("error", nlohmann::json()));
    }
}

// Past 1,000 findings of a kind the rest are counted: in the exit code, in
// one closing line of the text and in the JSON's omitted.
TEST(Fwimage, CheckCountsWhatItDoesNotTell) {
    TempDir dir;
    const std::string end = ":00000001FF\n";
    std::string blanks, moreBlanks, sums;
    for (uint32_t i = 0; i < 1000; ++i) blanks += HexRecord(i, 0, {1}).insert(13, " ");
    for (uint32_t i = 1000; i < 2000; ++i) moreBlanks += HexRecord(i, 0, {1}).insert(13, " ");
    for (uint32_t i = 0; i < 1500; ++i) sums += HexRecord(i, 0, {1}).replace(11, 2, "GG");
    const struct {
        std::string name, text;
        int code;
        nlohmann::json omitted;
        uint64_t lastOmitted;
        std::string lastLine;
    } cases[] = {
        // The one warning is the 1,001st of its kind.
        {"warning-omitted", blanks + HexRecord(1000, 0, {1}).insert(13, "X") + end, 7, {{"after-checksum", 1}},
         1001, "warning: 1 more after-checksum findings not shown, the last at line 1001"},
        {"notes-only", blanks + moreBlanks + end, 0, {{"after-checksum", 1000}}, 2000,
         "note: 1000 more after-checksum findings not shown, the last at line 2000"},
        {"sums", sums, 7, {{"checksum", 500}}, 1500,
         "warning: 500 more checksum findings not shown, the last at line 1500"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir.Path(c.name + ".hex");
        WriteFile(file, c.text);
        int code = -1;
        const std::vector<nlohmann::json> json = CheckedJson({file}, code);
        EXPECT_EQ(c.code, code);
        ASSERT_EQ(1u, json.size());
        EXPECT_EQ(c.omitted, json[0]["omitted"]);
        EXPECT_EQ(c.lastOmitted, json[0]["last_omitted_line"]);
        size_t told = 0;
        for (const nlohmann::json& f : json[0]["findings"]) told += f["kind"] == c.omitted.begin().key();
        EXPECT_EQ(kShownPerKind, told);
        const TRun r = RunTool({"check", file});
        EXPECT_EQ(c.code, r.code);
        EXPECT_TRUE(r.out.ends_with(file + ": " + c.lastLine + "\n"));
    }
}

// Whatever the window opens among the test files loads for check too.
TEST(Fwimage, CheckRefusesOnlyWhatTheWindowRefuses) {
    int files = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(testsupport::FromUtf8(testsupport::DataPath("hex")))) {
        if (entry.path().extension() != ".hex") continue;
        const std::string file = testsupport::ToUtf8(entry.path());
        SCOPED_TRACE(file);
        ++files;
        const TRun info = RunTool({"info", file});
        int code = -1;
        const std::vector<nlohmann::json> json = CheckedJson({file}, code);
        ASSERT_EQ(1u, json.size());
        for (const nlohmann::json& f : json[0]["findings"])
            EXPECT_EQ(info.code != 0, f["kind"] == "refused") << f.dump();
        EXPECT_EQ(info.code != 0, code == 1);
    }
    EXPECT_LT(0, files);
}

// What fwimage download refuses as empty: no byte, or the 0xFF the window
// makes of a .hex file without a data record, and only that.
TEST(Check, ImageHoldsNoData) {
    TempDir dir;
    const struct {
        std::string name, text;
        bool noData;
    } cases[] = {
        {"empty.bin", "", true},
        {"ff.bin", "\xFF", false},
        {"end-only.hex", ":00000001FF\n", true},
        {"text.hex", "FF\n", true},
        {"ff.hex", HexRecord(0, 0, {0xFF}) + ":00000001FF\n", false},
        {"far-ff.hex", HexRecord(0, 4, {0xFF, 0xFF}) + HexRecord(0xFFFF, 0, {0xFF}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir.Path(c.name);
        WriteFile(file, c.text);
        TImageInfo info;
        ASSERT_TRUE(OpenImage(file, info));
        EXPECT_EQ(c.noData, ImageHoldsNoData(file, info));
    }
}

// The fwimage commands: outputs, failure texts and exit codes; the failure
// display's full-stop rule they share with the window.
#include "FwimageMain.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "image/FirmwareImage.h"
#include "FwimageRun.h"
#include "TextForm.h"
#include "TestSupport.h"
#include "Version.h"
#include "runtime/Convert.h"
#include "runtime/Display.h"
#include "runtime/FileIO.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using testsupport::ZeroRunsHex;

namespace {

// The arguments as one line, to name a case.
std::string Joined(const std::vector<std::string>& args) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    return joined;
}

uint8_t MaskOf(const ScrambleKey& k) {
    const uint8_t odd = k[1] ^ k[3] ^ k[5] ^ k[7];
    return static_cast<uint8_t>(((odd >> 1) | (odd << 7)) ^ k[0] ^ k[2] ^ k[4] ^ k[6]);
}

}  // namespace

TEST(FailureDisplayText, FullStopAfterACharacterAboveTheDot) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"Stream read error", "Stream read error."},
        {"Cannot open file \"a\". No such file or directory",
         "Cannot open file \"a\". No such file or directory."},
        {"Cannot open file \"a\". ", "Cannot open file \"a\". "},
        {"Ends with a stop.", "Ends with a stop."},
        {"'$1G' is not a valid integer value", "'$1G' is not a valid integer value."},
        {"quoted '$1G'", "quoted '$1G'"},
        {"quoted \"x\"", "quoted \"x\""},
        {"(bracket)", "(bracket)"},
        {"bang!", "bang!"},
        {"line\r\n", "line\r\n"},
        {"comma,", "comma,"},
        {"dash-", "dash-"},
        {"slash/", "slash/."},
        {"digit 9", "digit 9."},
        {"colon:", "colon:."},
        {"question?", "question?."},
        {"Ошибка", "Ошибка."},
        {"€", "€."},
    };
    for (const auto& [message, shown] : cases) EXPECT_EQ(shown, rt::FailureDisplayText(message)) << message;
}

TEST(Fwimage, UsageAndHelp) {
    struct Case {
        std::vector<std::string> args;
        int code;
        // Wrong usage: its line; help: a line of it; else the whole output.
        std::string says;
        std::string notSaid = "\nCommands\n";  // help: what it leaves out, if anything
    };
    const std::vector<std::string> commands = {"info", "check", "convert", "lock", "download", "report"};
    const std::string sha63(63, 'a');
    const Case cases[] = {
        {{}, 2, "fwimage: no command given (info, check, convert, lock, download or report)"},
        {{"frobnicate"}, 2, "fwimage: \"frobnicate\" is not a command (info, check, convert, lock, download or report)"},
        {{"--json", "info"}, 2, "fwimage: the command (info, check, convert, lock, download or report) comes before \"--json\""},
        {{"info"}, 2, "fwimage info: FILE is missing (fwimage info FILE...)"},
        {{"info", "-x", "a.bin"}, 2, "-x: fwimage info has no such option"},
        {{"info", "-5", "--", "-6"}, 2, "-5: fwimage info has no such option"},
        // A name that begins with "/" is no option, on Windows too.
        {{"convert", "/a.hex"}, 2, "fwimage convert: OUT.bin is missing (fwimage convert IN.hex OUT.bin)"},
        {{"convert", "a.hex", "b.bin", "c.bin"}, 2,
         "fwimage convert: \"c.bin\" is one argument too many (fwimage convert IN.hex OUT.bin)"},
        {{"lock"}, 2, "fwimage lock: FILE is missing (fwimage lock FILE)"},
        {{"lock", "a.bin", "b.bin"}, 2, "fwimage lock: \"b.bin\" is one argument too many (fwimage lock FILE)"},
        {{"lock", "--key"}, 2, "--key: its TEXT is missing"},
        {{"lock", "--key", "00", "--key=11", "a.bin"}, 2, "--key: given more than once (\"00\", then \"11\")"},
        {{"lock", "--kee", "00", "a.bin"}, 2, "--kee: fwimage lock has no such option"},
        {{"convert", "--key", "00", "a.hex", "b.bin"}, 2, "--key: fwimage convert has no such option"},
        {{"info", "--yes", "a.bin"}, 2, "--yes: fwimage info has no such option"},
        {{"info", "--json=true", "a.bin"}, 2, "--json: takes no value, but is given \"--json=true\""},
        {{"info", "--digest", "--json"}, 2, "fwimage info: FILE is missing (fwimage info FILE...)"},
        {{"check", "--map", "a.hex"}, 2, "--map: fwimage check has no such option"},
        {{"download", "--json", "--bogus=1", "a.bin"}, 2, "--bogus: fwimage download has no such option"},
        {{"download", "--log"}, 2, "--log: its FILE is missing"},
        {{"download", "--timeout", "abc", "a.bin"}, 2,
         "--timeout: \"abc\" is not a whole number of seconds from 1 to 2000000"},
        {{"download", "--json", "--timeout", "0", "a.bin"}, 2,
         "--timeout: \"0\" is not a whole number of seconds from 1 to 2000000"},
        {{"download", "--timeout=1.5", "a.bin"}, 2,
         "--timeout: \"1.5\" is not a whole number of seconds from 1 to 2000000"},
        {{"download", "--timeout", "2000001", "a.bin"}, 2,
         "--timeout: \"2000001\" is not a whole number of seconds from 1 to 2000000"},
        {{"download", "--expect-sha256", sha63, "a.bin"}, 2,
         "--expect-sha256: \"" + sha63 + "\" is not 64 hexadecimal digits (it has 63 characters)"},
        {{"download", "--expect-sha256=" + sha63 + "g", "a.bin"}, 2,
         "--expect-sha256: \"" + sha63 + "g\" is not 64 hexadecimal digits"},
        {{"download", "--expect-sum", "0xADE3", "a.bin"}, 2,
         "--expect-sum: \"0xADE3\" is not 1 to 4 hexadecimal digits, as the window shows a sum"},
        {{"download", "--expect-sum=", "a.bin"}, 2,
         "--expect-sum: \"\" is not 1 to 4 hexadecimal digits, as the window shows a sum"},
        {{"download", "--repeat", "--json"}, 2, "fwimage download: IMAGE is missing (fwimage download IMAGE)"},
        {{"info", "--repeat", "a.bin"}, 2, "--repeat: fwimage info has no such option"},
        {{"download", "--serial", "SN\t1", "a.bin"}, 2,
         "--serial: \"SN\t1\" is not a serial number: 1 to 64 characters, none of them a tab or another control "
         "character"},
        {{"download", "--ask-serial", "--serial", "SN-1", "a.bin"}, 2,
         "--serial: names the one unit of a download; with --ask-serial each unit's serial is asked on the "
         "console (--ask-serial)"},
        {{"report"}, 2, "fwimage report: LOG is missing (fwimage report LOG...)"},
        {{"report", "--since", "2026-02-29", "a.tsv"}, 2,
         "--since: \"2026-02-29\" is not a day as YYYY-MM-DD (UTC)"},
        {{"report", "--json", "--until=2026-1-05", "a.tsv"}, 2,
         "--until: \"2026-1-05\" is not a day as YYYY-MM-DD (UTC)"},
        {{"report", "--since", "2026-12-02", "--until", "2026-12-01", "a.tsv"}, 2,
         "--until: \"2026-12-01\" is before --since \"2026-12-02\""},
        {{"report", "--html", "a.tsv", "b.tsv", "a.tsv"}, 2, "--html: \"a.tsv\" is one of the logs read"},
        {{"report", "--html", "fw.HEX", "a.tsv"}, 2, "--html: \"fw.HEX\" is a firmware image's name, not a page's"},
        {{"report", "--map", "a.tsv"}, 2, "--map: fwimage report has no such option"},
        {{"--version", "a.bin"}, 2, "--version: \"a.bin\" may not follow it"},
        {{"info", "--version"}, 2, "--version: fwimage info has no such option"},
        {{"--help"}, 0, "\nCommands\n", ""},
        {{"-h", "frobnicate"}, 0, "\nCommands\n", ""},
        {{"info", "--help"}, 0, "usage: fwimage info FILE...\n       fwimage info [--map]"},
        {{"check", "--json", "-h"}, 0, "  7    check: every file loads", "  3    download:"},
        {{"lock", "a.bin", "--help"}, 0, "usage: fwimage lock [--key TEXT] FILE\n\n  lock [--key TEXT] FILE\n"},
        {{"download", "--help"}, 0, "\n  9    download: ended", "  7    check:"},
        {{"report", "--help"}, 0, "usage: fwimage report [--since YYYY-MM-DD]", "  3    download:"},
        {{"--version"}, 0, "fwimage " FWL_VERSION_TEXT "\n"},
        {{"--version", "--help"}, 0, "\nCommands\n", ""},
        {{"convert", "--help"}, 0, "\nExit status\n  0    done", "  3    download:"},
        // Key texts fwimage takes exactly; the key box's reading is the window's.
        {{"lock", "--key", "123", "a.bin"}, 2,
         "--key: \"123\" is not 8 hexadecimal pairs (it has 3 hexadecimal digits besides blanks, not 16)"},
        {{"lock", "--key", "01 02 03 04 05 06 07 08 09", "a.bin"}, 2,
         "--key: \"01 02 03 04 05 06 07 08 09\" is not 8 hexadecimal pairs (it has 18 hexadecimal digits "
         "besides blanks, not 16)"},
        {{"lock", "--key", std::string(100, 'A'), "a.bin"}, 2,
         "--key: \"" + std::string(100, 'A') +
             "\" is not 8 hexadecimal pairs (it has 100 hexadecimal digits besides blanks, not 16)"},
        {{"lock", "--key=G0 00 00 00 00 00 00 00", "a.bin"}, 2,
         "--key: \"G0 00 00 00 00 00 00 00\" is not 8 hexadecimal pairs (\"G\" is not a hexadecimal digit)"},
        {{"lock", "--key", "0102030405060ж08", "a.bin"}, 2,
         "--key: \"0102030405060ж08\" is not 8 hexadecimal pairs (\"ж\" is not a hexadecimal digit)"},
        {{"lock", "--key=", "a.bin"}, 2, "--key: \"\" is not 8 hexadecimal pairs (it is empty)"},
        // A value that names the operand meant.
        {{"download", "--timeout", "a.hex"}, 2, "--timeout: \"a.hex\" is taken as its SECONDS, which leaves IMAGE missing"},
        {{"lock", "--key", "a.BIN"}, 2, "--key: \"a.BIN\" is taken as its TEXT, which leaves FILE missing"},
        {{"download", "--log", "fw.tsv"}, 2, "fwimage download: IMAGE is missing (fwimage download IMAGE)"},
        {{"download", "--log=a.hex"}, 2, "fwimage download: IMAGE is missing (fwimage download IMAGE)"},
        {{"info", "--map", "--digest", "--map", "a.bin"}, 2, "--map: given more than once"},
        {{"convert", "a.hex", "-"}, 2,
         "fwimage convert: \"-\" names no file: fwimage reads and writes files, not the standard input or "
         "output (a file named \"-\": ./-)"},
        // Never an option's prefix, either way round.
        {{"download", "--yess", "x.bin"}, 2, "--yess: fwimage download has no such option"},
        {{"download", "--ye", "x.bin"}, 2, "--ye: fwimage download has no such option"},
        // A byte that is no UTF-8 becomes U+FFFD in JSON, never a failure.
        {{"info", "--json", "--\xFF"}, 2, "--\xFF: fwimage info has no such option"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.args));
        const TRun r = RunTool(c.args);
        EXPECT_EQ(c.code, r.code);
        if (c.code == 2) {
            const bool known = !c.args.empty() && std::ranges::count(commands, c.args[0]);
            EXPECT_EQ(c.says + "\nTry 'fwimage " + (known ? c.args[0] + " " : "") + "--help' for more.\n", r.err);
            if (!std::ranges::count(c.args, "--json")) {
                EXPECT_EQ("", r.out);
                continue;
            }
            nlohmann::ordered_json line{{"format", 1}};
            if (known) line["command"] = c.args[0];
            line["error"] = {{"text", c.says}, {"os_code", nullptr}};
            EXPECT_EQ(line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n", r.out);
        } else if (c.args[0] == "--version" && c.args.size() == 1) {
            EXPECT_EQ("", r.err);
            EXPECT_EQ(c.says, r.out);
        } else {
            EXPECT_EQ("", r.err);
            EXPECT_NE(std::string::npos, r.out.find(c.says)) << r.out;
            if (!c.notSaid.empty()) {
                EXPECT_EQ(std::string::npos, r.out.find(c.notSaid)) << r.out;
            }
        }
    }
}

// "--utf8" anywhere before "--", whatever the command, or FWIMAGE_UTF8=1.
TEST(Fwimage, Utf8Switch) {
    using TArgs = std::vector<std::string>;
    const std::tuple<TArgs, const char*, bool, TArgs> rows[] = {
        {{"--utf8", "info", "a.bin", "--utf8"}, nullptr, true, {"info", "a.bin"}},
        {{"info", "--", "--utf8"}, nullptr, false, {"info", "--", "--utf8"}},
        {{"info", "a.bin"}, "0", false, {"info", "a.bin"}},
    };
    for (auto [args, environment, utf8, left] : rows) {
        SCOPED_TRACE(Joined(args) + (environment ? environment : ""));
        EXPECT_EQ(utf8, TakeUtf8Switch(args, environment));
        EXPECT_EQ(left, args);
    }
}

TEST(Fwimage, CommandsAndTheirFailures) {
    TempDir dir;
    const std::string bin = dir.Path("образ.bin");
    const std::string bin2 = dir.Path("two.BIN");
    const std::string hex = dir.Path("image.hex");
    const std::string badHex = dir.Path("bad.hex");
    const std::string sparseHex = dir.Path("sparse.hex");
    const std::string emptyHex = dir.Path("empty.hex");
    const std::string ninetyHex = dir.Path("ninety.hex");
    const std::string tieHex = dir.Path("tie.hex");
    const std::string text = dir.Path("notes.txt");
    const std::string lockFile = dir.Path("old.lock");
    const std::string missing = dir.Path("missing.bin");
    const std::string outBin = dir.Path("out.bin");
    const std::string hexLink = dir.Path("link.bin");
    const std::string selfLocked = dir.Path("self.bin");  // its .lock is itself
    const std::string sameSize = dir.Path("same-size.bin");
    const std::string zeroHex = dir.Path("zero.hex");  // a record of no byte below the data
    const std::string hugeBin = dir.Path("huge.bin");   // longer than an in-memory stream holds
    WriteFile(bin, std::vector<uint8_t>{0x01, 0x02, 0xFF});
    WriteFile(bin2, std::vector<uint8_t>(258, 0xFF));
    WriteFile(hex, std::string(":020004000102F7\n:00000001FF\n"));
    WriteFile(badHex, std::string(":1G00000001FF\n"));
    // Four bytes at 0x200000; below, records out of order, overlapping and
    // touching, which make one run of 8 bytes.
    WriteFile(sparseHex,
              std::string(":020000040020DA\n:04000000AABBCCDDEE\n:020000040000FA\n"
                          ":0400020001020304F0\n:0400000005060708E2\n:02000600090AE5\n:00000001FF\n"));
    WriteFile(emptyHex, std::string(":00000001FF\n"));
    // Gap fill of exactly 90.0 % in an image over 1 MiB.
    WriteFile(ninetyHex, ZeroRunsHex({{0, 104854}, {0x100000, 4}}));
    // Two runs are equally far from each other; the smaller lies below.
    WriteFile(
        tieHex,
        std::string(":0400000000000000FC\n:020000040020DA\n:080000000000000000000000F8\n:00000001FF\n"));
    WriteFile(text, std::string("text"));
    WriteFile(zeroHex, std::string(":00F0000010\n:02F10000AABBA8\n:00000001FF\n"));
    WriteFile(hugeBin, std::string());
    std::filesystem::resize_file(testsupport::FromUtf8(hugeBin), 0x80000000);
    WriteFile(lockFile, std::string("lock"));
    std::filesystem::create_hard_link(testsupport::FromUtf8(hex), testsupport::FromUtf8(hexLink));
    WriteFile(selfLocked, std::string("self"));
    std::filesystem::create_hard_link(testsupport::FromUtf8(selfLocked),
                                      testsupport::FromUtf8(selfLocked + ".lock"));
    WriteFile(sameSize, std::string(ReadFile(hex).size(), 'x'));  // another file of the input's size
    const std::string notFound = rt::SysErrorMessage(2);          // ENOENT, ERROR_FILE_NOT_FOUND

    struct Case {
        std::vector<std::string> args;
        int code;
        std::string out;
        std::string err;
        std::vector<nlohmann::json> json = {};  // out's lines parsed, where given
    };
    const std::string binSha = "0526d0e18ea19dfaad9d79166bec1e18d6221ef6b1830385fe9bf67022ed5f96";
    const std::string missingText =
        "Cannot open file \"" + missing + "\". " + notFound + (notFound.empty() ? "" : ".");
    const Case cases[] = {
        {{"info", bin}, 0, "Имя: образ.bin\nРазмер: 0003\nКонтрольная сумма: 0102\n", ""},
        {{"info", bin, hex, bin2},
         0,
         "Имя: образ.bin\nРазмер: 0003\nКонтрольная сумма: 0102\n"
         "Имя: image.hex\nРазмер: 0002\nКонтрольная сумма: 0003\n"
         "Имя: two.BIN\nРазмер: 0102\nКонтрольная сумма: 00FE\n",
         ""},
        {{"info", text},
         1,
         "",
         "Cannot open file \"" + text + "\": only .hex, .bin and .lock files are images.\n"},
        {{"info", missing, bin2},
         1,
         "Имя: two.BIN\nРазмер: 0102\nКонтрольная сумма: 00FE\n",
         missing + ": Cannot open file \"" + missing + "\". " + notFound + (notFound.empty() ? "\n" : ".\n")},
        // A device by its name, not by the path the system gives it.
        {{"info", "CON.hex"}, 1, "", "Cannot open file \"CON.hex\": CON is a device, not a file.\n"},
        {{"info", "logs/aux .bin", bin}, 1, "Имя: образ.bin\nРазмер: 0003\nКонтрольная сумма: 0102\n",
         "logs/aux .bin: Cannot open file \"logs/aux .bin\": AUX is a device, not a file.\n"},
        {{"convert", "nul.hex", outBin}, 1, "", "Cannot open file \"nul.hex\": NUL is a device, not a file.\n"},
        {{"lock", "Com1.bin"}, 1, "", "Cannot open file \"Com1.bin\": COM1 is a device, not a file.\n"},
        {{"info", badHex}, 1, "", "'$1G' is not a valid integer value.\n"},
        {{"info", "--map", bin, hex},
         0,
         "Имя: образ.bin\nРазмер: 0003\nКонтрольная сумма: 0102\n"
         "Data runs: 1\n  00000000-00000002  3 bytes\nFirst address: 00000000\nGap fill: 0 bytes, 0.0 %\n"
         "Имя: image.hex\nРазмер: 0002\nКонтрольная сумма: 0003\n"
         "Data runs: 1\n  00000004-00000005  2 bytes\nFirst address: 00000004\nGap fill: 0 bytes, 0.0 %\n",
         ""},
        {{"info", sparseHex, "--map"},
         0,
         "Имя: sparse.hex\nРазмер: 200004\nКонтрольная сумма: FB4A\n"
         "Data runs: 2\n  00000000-00000007  8 bytes\n  00200000-00200003  4 bytes\n"
         "First address: 00000000\nGap fill: 2097144 bytes, 99.9 %\n"
         "Warning: 99.9 % of the image is gap fill; run 00200000-00200003 lies farthest from the others "
         "(2097144 bytes from the nearest)\n",
         ""},
        {{"info", "--map", ninetyHex},
         0,
         "Имя: ninety.hex\nРазмер: 100004\nКонтрольная сумма: 0396\n"
         "Data runs: 2\n  00000000-00019995  104854 bytes\n  00100000-00100003  4 bytes\n"
         "First address: 00000000\nGap fill: 943722 bytes, 90.0 %\n",
         ""},
        {{"info", "--map", tieHex},
         0,
         "Имя: tie.hex\nРазмер: 200008\nКонтрольная сумма: FC04\n"
         "Data runs: 2\n  00000000-00000003  4 bytes\n  00200000-00200007  8 bytes\n"
         "First address: 00000000\nGap fill: 2097148 bytes, 99.9 %\n"
         "Warning: 99.9 % of the image is gap fill; run 00000000-00000003 lies farthest from the others "
         "(2097148 bytes from the nearest)\n",
         ""},
        {{"info", "--map", zeroHex},
         0,
         "Имя: zero.hex\nРазмер: 0102\nКонтрольная сумма: 0065\n"
         "Data runs: 1\n  0000F100-0000F101  2 bytes\nFirst address: 0000F000\nGap fill: 256 bytes, 99.2 %\n",
         ""},
        // Decided from the file's size: nothing is read.
        {{"info", hugeBin}, 1, "", "Out of memory.\n"},
        {{"lock", hugeBin}, 1, "", "Out of memory.\n"},
        {{"check", hugeBin}, 1, hugeBin + ": error: Out of memory.\n", ""},
        {{"info", "--map", emptyHex},
         0,
         "Имя: empty.hex\nРазмер: 0001\nКонтрольная сумма: 00FF\n"
         "Data runs: 0\nFirst address: FFFFFFFF\nGap fill: 1 byte, 100.0 %\n",
         ""},
        {{"info", "--", lockFile}, 0, "Имя: old.lock\nРазмер: 0004\nКонтрольная сумма: 01A9\n", ""},
        // A .lock file's digest is of its bytes as they are sent.
        {{"info", "--digest", bin, lockFile},
         0,
         "Имя: образ.bin\nРазмер: 0003\nКонтрольная сумма: 0102\nSHA-256: " + binSha +
             "\nИмя: old.lock\nРазмер: 0004\nКонтрольная сумма: 01A9\n"
             "SHA-256: 0c030586945fe504b604ecc2e875c38ede400cd5cd73da9730302162e6b02c6f\n",
         ""},
        {{"info", "--json", bin, missing},
         1,
         "",
         missingText + "\n",
         {{{"format", 1},
           {"path", bin},
           {"name", "образ.bin"},
           {"size", 3},
           {"sum", "0102"},
           {"sha256", binSha}},
          {{"format", 1}, {"path", missing}, {"error", {{"text", missingText}, {"os_code", 2}}}}}},
        // No data, no address.
        {{"info", "--map", "--json", emptyHex},
         0,
         "",
         "",
         {{{"format", 1},
           {"path", emptyHex},
           {"name", "empty.hex"},
           {"size", 1},
           {"sum", "00FF"},
           {"sha256", "a8100ae6aa1940d0b663bb31cd466142ebbdbd5187131b92d93818987832eb89"},
           {"map", {{"runs", nlohmann::json::array()}, {"first_address", nullptr}, {"gap_fill", 1}}}}}},
        {{"info", "--map", "--json", sparseHex},
         0,
         "",
         "",
         {{{"format", 1},
           {"path", sparseHex},
           {"name", "sparse.hex"},
           {"size", 0x200004},
           {"sum", "FB4A"},
           {"sha256", "d2ca4528a6adadb99fec33a0669046fe21d88111caa27726611265462b89d208"},
           {"map",
            {{"runs",
              {{{"first", "00000000"}, {"last", "00000007"}, {"size", 8}},
               {{"first", "00200000"}, {"last", "00200003"}, {"size", 4}}}},
             {"first_address", "00000000"},
             {"gap_fill", 2097144},
             {"warning",
              "99.9 % of the image is gap fill; run 00200000-00200003 lies farthest from the others "
              "(2097144 bytes from the nearest)"}}}}}},
        // After "--" even "-h" and "-" name files.
        {{"info", "--", "-h"},
         1,
         "",
         "Cannot open file \"-h\": only .hex, .bin and .lock files are images.\n"},
        {{"info", "--", "-"}, 1, "", "Cannot open file \"-\": only .hex, .bin and .lock files are images.\n"},
        {{"convert", bin, outBin},
         1,
         "",
         "Cannot convert file \"" + bin + "\": an Intel HEX file must have the .hex extension.\n"},
        {{"convert", badHex, outBin}, 1, "", "'$1G' is not a valid integer value.\n"},
        {{"convert", hex, hex},
         1,
         "",
         "Cannot convert file \"" + hex + "\": the output \"" + hex + "\" is that same file.\n"},
        {{"convert", hex, dir.Path("./image.hex")},
         1,
         "",
         "Cannot convert file \"" + hex + "\": the output \"" + dir.Path("./image.hex") +
             "\" is that same file.\n"},
        {{"convert", hex, hexLink},
         1,
         "",
         "Cannot convert file \"" + hex + "\": the output \"" + hexLink + "\" is that same file.\n"},
        {{"convert", hex, sameSize}, 0, "", ""},
        {{"lock", selfLocked},
         1,
         "",
         "Cannot lock file \"" + selfLocked + "\": the output \"" + selfLocked +
             ".lock\" is that same file.\n"},
        // The steps of these keys cancel out: the .lock would be the image.
        {{"lock", "--key", "01 02 00 00 00 00 00 00", bin},
         2,
         "",
         "The key \"01 02 00 00 00 00 00 00\" changes nothing: its steps amount to an XOR with 00, which "
         "leaves every byte as it is; choose another key.\n"},
        {{"lock", lockFile},
         1,
         "",
         "Cannot lock file \"" + lockFile + "\": only .hex and .bin files can be locked.\n"},
        {{"lock", text},
         1,
         "",
         "Cannot lock file \"" + text + "\": only .hex and .bin files can be locked.\n"},
        {{"lock", missing},
         1,
         "",
         "Cannot open file \"" + missing + "\". " + notFound + (notFound.empty() ? "\n" : ".\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.args));
        const TRun r = RunTool(c.args);
        EXPECT_EQ(c.code, r.code);
        if (c.json.empty()) {
            EXPECT_EQ(c.out, r.out);
        } else {
            std::vector<nlohmann::json> lines;
            std::istringstream in(r.out);
            for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
            EXPECT_EQ(c.json, lines) << r.out;
        }
        EXPECT_EQ(c.err, r.err);
    }
    // Failed commands wrote nothing.
    EXPECT_EQ(ReadFile(hex), ReadFile(hexLink));
    EXPECT_EQ(std::string(":020004000102F7\n:00000001FF\n").size(), ReadFile(hex).size());
    EXPECT_THROW(ReadFile(outBin), std::runtime_error);
    EXPECT_THROW(ReadFile(bin + ".lock"), std::runtime_error);
    EXPECT_THROW(ReadFile(lockFile + ".lock"), std::runtime_error);
    EXPECT_EQ(std::vector<uint8_t>({'s', 'e', 'l', 'f'}), ReadFile(selfLocked));
}

TEST(Fwimage, ConvertAndLockWriteTheirFiles) {
    TempDir dir;
    const std::string hex = dir.Path("image.HEX");
    const std::string bin = dir.Path("image.bin");
    const std::string outBin = dir.Path("вывод.bin");
    // Two bytes at 0x10000 and one at 0x10004: three 0xFF bytes between.
    WriteFile(hex, std::string(":020000040001F9\n:02000000A1B2AB\n:01000400C338\n:00000001FF\n"));
    const std::vector<uint8_t> image = {0xA1, 0xB2, 0xFF, 0xFF, 0xC3};
    const std::vector<uint8_t> plain = {0x00, 0x5A, 0xFF, 0x80};
    WriteFile(bin, plain);

    TRun r = RunTool({"convert", hex, outBin});
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("", r.out + r.err);
    EXPECT_EQ(image, ReadFile(outBin));

    struct Case {
        std::vector<std::string> options;
        ScrambleKey key;
    };
    const Case cases[] = {
        {{}, ScrambleKey{0x3C, 0x5A, 0x91, 0x0E, 0xD4, 0x27, 0xB8, 0x66}},
        {{"--key=0102040810204081"}, ScrambleKey{1, 2, 4, 8, 16, 32, 64, 129}},
        // The operators' guide's example.
        {{"--key", "A5 17 C3 5E 29 D0 7B 84"}, ScrambleKey{0xA5, 0x17, 0xC3, 0x5E, 0x29, 0xD0, 0x7B, 0x84}},
        {{"--key", " a b c d e f 0 1 2 3 4 5 6 7 8 8 "},
         ScrambleKey{0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x88}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"lock"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(bin);
        SCOPED_TRACE(c.options.empty() ? "default key" : c.options.back());
        r = RunTool(args);
        EXPECT_EQ(0, r.code);
        EXPECT_EQ("Файл зашифрован " + bin + ".lock\n", r.out);
        EXPECT_EQ("", r.err);
        std::vector<uint8_t> expected = plain;
        for (auto& v : expected) v ^= MaskOf(c.key);
        EXPECT_EQ(expected, ReadFile(bin + ".lock"));
    }

    r = RunTool({"lock", hex});
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("Файл зашифрован " + hex + ".lock\n", r.out);
    std::vector<uint8_t> expected = image;
    for (auto& v : expected) v ^= MaskOf({0x3C, 0x5A, 0x91, 0x0E, 0xD4, 0x27, 0xB8, 0x66});
    EXPECT_EQ(expected, ReadFile(hex + ".lock"));
}

// The window names files by the full paths its dialog gives; so does the tool,
// whatever form of a path it is given.
TEST(Fwimage, RelativePathsAreNamedInFull) {
    TempDir dir;
    const testsupport::CurrentFolder inDir(dir.Root());
    const auto inRoot = [&](const std::string& name) {
        return testsupport::ToUtf8(std::filesystem::current_path() / name);
    };
    WriteFile(inRoot("image.bin"), std::vector<uint8_t>{1, 2});
    const std::string notFound = rt::SysErrorMessage(2);

    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{"lock", "--key", "0000000000000080", "./image.bin"},
         "Файл зашифрован " + inRoot("image.bin") + ".lock\n",
         ""},
        {{"info", "missing.bin"},
         "",
         "Cannot open file \"" + inRoot("missing.bin") + "\". " + notFound +
             (notFound.empty() ? "\n" : ".\n")},
        {{"lock", "missing.bin"},
         "",
         "Cannot open file \"" + inRoot("missing.bin") + "\". " + notFound +
             (notFound.empty() ? "\n" : ".\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args.back());
        const TRun r = RunTool(c.args);
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ(c.err, r.err);
    }
    EXPECT_EQ((std::vector<uint8_t>{0x41, 0x42}), ReadFile(inRoot("image.bin.lock")));

#if !defined(_WIN32)
    // A working folder whose full path is longer than the system opens: the
    // name as given still opens.
    const std::string step(200, 'd');
    int depth = 0;
    for (; depth < 25; ++depth) {
        std::filesystem::create_directory(step);
        std::filesystem::current_path(step);
    }
    WriteFile("deep.bin", std::vector<uint8_t>{1, 2});
    const TRun r = RunTool({"lock", "--key", "0000000000000080", "deep.bin"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ("Файл зашифрован " + rt::ExpandFileName("deep.bin.lock") + "\n", r.out);
    EXPECT_EQ((std::vector<uint8_t>{0x41, 0x42}), ReadFile("deep.bin.lock"));
    // Removed step by step: the whole path is too long for the folder's own removal.
    for (; depth > 0; --depth) {
        for (const auto& entry : std::filesystem::directory_iterator("."))
            if (!entry.is_directory()) std::filesystem::remove(entry.path().filename());
        std::filesystem::current_path("..");
        std::filesystem::remove(step);
    }
#endif
}

// Output that cannot be written (a full disk, a closed pipe) is a failure,
// reported on the error output while that still works.
TEST(Fwimage, OutputThatCannotBeWritten) {
    // Takes nothing: every write fails.
    struct TFullBuf : std::streambuf {
        int_type overflow(int_type) override { return traits_type::eof(); }
        std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
    };
    TempDir dir;
    const std::string bin = dir.Path("image.bin");
    const std::string hex = dir.Path("image.hex");
    WriteFile(bin, std::vector<uint8_t>{1, 2, 3});
    WriteFile(hex, std::string(":0100000011\n"));
    const std::string outputLost = "Cannot write to the standard output.\n";
    struct Case {
        std::vector<std::string> args;
        bool outFull;
        bool errFull;
        int code;
        std::string err;  // when it works
    };
    const Case cases[] = {
        {{"info", bin}, true, false, 1, outputLost},
        {{"lock", bin}, true, false, 1, outputLost},
        {{"--help"}, true, false, 1, outputLost},
        {{"info", dir.Path("missing.bin"), bin}, true, false, 1, ""},
        {{"convert", hex, dir.Path("out.bin")}, true, false, 0, ""},
        {{"info", dir.Path("missing.bin")}, false, true, 1, ""},
        {{"info", bin}, false, true, 0, ""},
        {{"info", bin}, true, true, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.args) + (c.outFull ? " >full" : "") + (c.errFull ? " 2>full" : ""));
        TFullBuf full;
        std::ostringstream out, err;
        std::ostream fullStream(&full);
        const int code = RunFwimage(c.args, c.outFull ? fullStream : out, c.errFull ? fullStream : err);
        EXPECT_EQ(c.code, code);
        if (!c.errFull && !c.err.empty()) {
            EXPECT_EQ(c.err, err.str());
        }
    }
}

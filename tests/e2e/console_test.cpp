// fwimage download as a script runs it: each outcome with its exit code,
// line, log record and the library calls the instrument saw; the progress
// lines written into a file; Ctrl+C on a console of its own.
#include "Fixture.h"
#include "SimControl.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace e2e;

namespace {

constexpr DWORD kMs = 10000;

const std::string kDoneLine = "Загрузка завершена  ";
const std::string kHeldLine =
    "Ctrl+C: the download finishes first, so that the instrument is not left half written; fwimage ends "
    "after it. A third Ctrl+C ends it without waiting for the library, which may leave the instrument in "
    "its loader mode";
const std::string kLoaderModeLeft = "; the instrument may be left in its loader mode";
const std::string kQuestion = " Загрузить программу ?  [y/N] ";
const std::string kInterruptedLine = "Interrupted: nothing was sent to the instrument";

std::string Sum16Hex(const std::string& bytes) {
    uint32_t sum = 0;
    for (char c : bytes) sum += static_cast<unsigned char>(c);
    char text[8];
    snprintf(text, sizeof text, "%04X", sum & 0xFFFF);
    return text;
}

std::string SizeHex(size_t size) {
    char text[16];
    snprintf(text, sizeof text, "%04X", static_cast<unsigned>(size));
    return text;
}

// A file in the system folder.
std::wstring SystemFile(const std::wstring& name) {
    wchar_t folder[MAX_PATH];
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + name;
}

std::string LastLine(const std::string& text) {
    const std::vector<std::string> lines = Split(text, '\n');
    return lines.empty() ? "" : lines.back();
}

// The instrument's account of ISP, Download and AP: "ISP=1", "Download=0"...
// in call order; none when the library was never loaded.
std::vector<std::string> LibraryCalls(const std::wstring& simLog) {
    std::vector<std::string> calls;
    if (GetFileAttributesW(simLog.c_str()) == INVALID_FILE_ATTRIBUTES) return calls;
    for (const std::string& line : Split(ReadBytes(simLog), '\n')) {
        const size_t result = line.find(") = ");
        if (result == std::string::npos) continue;
        for (const auto& [name, call] : {std::pair<const char*, std::string_view>{"ISP", "DFU_Reset_To_ISP("},
                                         {"Download", "DFU_Download("},
                                         {"AP", "DFU_Reset_To_AP("}})
            if (line.rfind(call, 0) == 0)
                calls.push_back(std::string(name) + "=" + line.substr(result + 4, 1));
    }
    return calls;
}

// Standard input of the programs started meanwhile: NUL, so that no test
// depends on how it was itself started.
class InputFromNul {
public:
    InputFromNul() : saved_(GetStdHandle(STD_INPUT_HANDLE)) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        nul_ = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                           0, nullptr);
        SetStdHandle(STD_INPUT_HANDLE, nul_);
    }
    ~InputFromNul() {
        SetStdHandle(STD_INPUT_HANDLE, saved_);
        CloseHandle(nul_);
    }

private:
    HANDLE saved_;
    HANDLE nul_;
};

// A console of this process's own, which the programs it starts share, and
// Ctrl+C sent to it; this process lets the signal pass. Output code page: UTF-8 unless given.
class OwnConsole {
public:
    explicit OwnConsole(UINT codePage = CP_UTF8) {
        for (int i = 0; i < 3; ++i) saved_[i] = GetStdHandle(kWhich[i]);
        FreeConsole();
        if (!AllocConsole()) throw std::runtime_error("no console: error " + std::to_string(GetLastError()));
        SetConsoleOutputCP(codePage);
        SetConsoleCtrlHandler(LetPass, TRUE);
    }
    ~OwnConsole() {
        SetConsoleCtrlHandler(LetPass, FALSE);
        FreeConsole();
        for (int i = 0; i < 3; ++i) SetStdHandle(kWhich[i], saved_[i]);
    }
    static void CtrlC() { ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)); }

    // Keys typed on the console; "\r" is Enter.
    static void Type(const std::wstring& keys) {
        std::vector<INPUT_RECORD> records(keys.size() * 2, {KEY_EVENT, {}});
        for (size_t i = 0; i < records.size(); ++i)
            records[i].Event.KeyEvent = {i % 2 == 0,    1, WORD(keys[i / 2] == L'\r' ? VK_RETURN : 0), 0,
                                         {keys[i / 2]}, 0};
        DWORD written = 0;
        EXPECT_TRUE(WriteConsoleInputW(GetStdHandle(STD_INPUT_HANDLE), records.data(), DWORD(records.size()),
                                       &written));
    }

    static void WaitForRow(const std::string& row) {
        WaitUntil("\"" + row + "\" on the console", [&] {
            const std::vector<std::string> rows = Rows();
            return std::find(rows.begin(), rows.end(), row) != rows.end();
        });
    }

    // The console's rows up to the cursor's, without their trailing blanks.
    static std::vector<std::string> Rows() {
        const HANDLE screen =
            CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(screen, &info);
        std::vector<std::string> rows;
        for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
            std::wstring row(static_cast<size_t>(info.dwSize.X), L' ');
            DWORD read = 0;
            ReadConsoleOutputCharacterW(screen, row.data(), info.dwSize.X, {0, y}, &read);
            row.erase(row.find_last_not_of(L' ') + 1);
            rows.push_back(Narrow(row));
        }
        CloseHandle(screen);
        return rows;
    }

private:
    static BOOL WINAPI LetPass(DWORD) { return TRUE; }
    static constexpr DWORD kWhich[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE saved_[3];
};

class Console : public ::testing::Test {
protected:
    std::wstring Fwimage() const { return BinPath(L"fwimage.exe"); }

    // The launch of a download of image, logged, against the instrument's
    // default behaviour with a short search and no rate limit.
    Launch Download(std::vector<std::wstring> options, const std::wstring& image,
                    const std::wstring& fail = L"none") {
        options.insert(options.begin(), L"download");
        options.insert(options.end(), {L"--log", log_, image});
        return {.args = options,
                .env = {{L"FWL_DFU_SEARCH_MS", L"20"},
                        {L"FWL_DFU_RATE", L"0"},
                        {L"FWL_DFU_FAIL", fail},
                        {L"FWL_HOSTILE_STEP", fail},
                        {L"FWL_DFU_LOG", simLog_},
                        {L"FWL_DFU_BYTES", received_}},
                .outFile = temp_.Path(L"out.txt"),
                .errFile = temp_.Path(L"err.txt")};
    }

    std::string Out() const { return ReadBytes(temp_.Path(L"out.txt")); }
    std::string Err() const { return ReadBytes(temp_.Path(L"err.txt")); }

    // The record that the download appended to the log after the line before it.
    void ExpectRecord(const std::wstring& image, const std::string& bytes, const std::string& outcome,
                      DWORD code) {
        const std::vector<std::string> lines = Split(ReadBytes(log_), '\n');
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ(kEarlierRecord, lines[0] + "\n");
        const std::vector<std::string> fields = Split(lines[1] + "\t", '\t');
        ASSERT_EQ(10u, fields.size()) << lines[1];
        EXPECT_EQ(20u, fields[0].size()) << fields[0];  // 2026-12-07T12:00:00Z
        EXPECT_EQ('Z', fields[0].back());
        EXPECT_EQ(Narrow(image), fields[1]);
        EXPECT_EQ(SizeHex(bytes.size()), fields[2]);
        EXPECT_EQ(Sum16Hex(bytes), fields[3]);
        EXPECT_EQ(outcome, fields[4]);
        EXPECT_EQ(std::to_string(code), fields[5]);
        EXPECT_EQ(64u, fields[6].size()) << fields[6];
        EXPECT_EQ(std::string::npos, (fields[6] + fields[7]).find_first_not_of("0123456789abcdef"));
        EXPECT_EQ(0u, fields[8].find("fwimage ")) << fields[8];
        EXPECT_EQ("", fields[9]) << "no unit outside a station loop";
    }

    void SetUp() override {
        SetFileAttributesW(log_.c_str(), FILE_ATTRIBUTE_NORMAL);
        temp_.Write(L"журнал.tsv", kEarlierRecord);
    }

    // An older log's record, of six columns.
    const std::string kEarlierRecord = "2026-12-07T12:00:00Z\tC:\\fw.hex\t1770\t1E05\tdone\t0\n";

    // A copy of fwimage.exe in a folder of its own, with the hostile DFU.dll
    // of that folder under bin\hostile, the one in the system folder that
    // lacks the entry points, or none.
    std::wstring FwimageWith(const std::wstring& hostile, bool withoutEntryPoints = false) {
        const std::wstring folder = temp_.Path(L"alone");
        CreateDirectoryW(folder.c_str(), nullptr);
        const std::wstring exe = folder + L"\\fwimage.exe";
        EXPECT_TRUE(CopyFileW(Fwimage().c_str(), exe.c_str(), FALSE));
        const std::wstring dll = folder + L"\\DFU.dll";
        DeleteFileW(dll.c_str());
        const std::wstring source = withoutEntryPoints ? SystemFile(L"version.dll")
                                    : hostile.empty()  ? L""
                                                       : BinPath(L"hostile\\" + hostile + L"\\DFU.dll");
        if (!source.empty()) {
            EXPECT_TRUE(CopyFileW(source.c_str(), dll.c_str(), FALSE));
        }
        return exe;
    }

    TempFolder temp_;
    const std::wstring log_ = temp_.Path(L"журнал.tsv");
    const std::wstring simLog_ = temp_.Path(L"dfu.log");
    const std::wstring received_ = temp_.Path(L"received.bin");
};

// Beside fwimage.exe; AlsoInSystemFolder: the simulated one, and one without
// the entry points in the system folder.
enum class Library {
    Simulated,
    Missing,
    WithoutEntryPoints,
    Hanging,
    NullWrite,
    Raising,
    Damaged,
    NeedsMissing,
    AlsoInSystemFolder
};
// The error's words for a library that does not load.
const std::map<Library, std::string> kLibraryError = {
    {Library::Missing, "DFU.dll is neither in"},
    {Library::WithoutEntryPoints, "has no entry point DFU_Reset_To_ISP"},
    {Library::Damaged, "\": it is not a 32-bit Windows library (a 64-bit DFU.dll, or a damaged file)"},
    {Library::NeedsMissing, "\": a library that DFU.dll needs is missing"}};
// Where the log is: a file with a record, the same file read-only, a full
// device, the image itself.
enum class Log { Writable, ReadOnly, Full, Image };

// Removes a file when it goes, also when an assertion ends the test.
struct RemovedAtEnd {
    std::wstring path;
    ~RemovedAtEnd() { DeleteFileW(path.c_str()); }
};

// The standard output's JSON Lines, each parsed, the progress's events left
// out: each has at least the members expected, with their values.
void ExpectEvents(const std::vector<nlohmann::json>& expected, const std::string& out) {
    std::vector<nlohmann::json> events;
    for (const std::string& line : Split(out, '\n')) {
        const nlohmann::json event = nlohmann::json::parse(line);
        if (event.at("event") != "searching" && event.at("event") != "loading") events.push_back(event);
    }
    ASSERT_EQ(expected.size(), events.size()) << out;
    for (size_t i = 0; i < events.size(); ++i)
        for (const auto& [key, value] : expected[i].items())
            EXPECT_EQ(value, events[i].value(key, nlohmann::json())) << "event " << i << ", " << key;
}

TEST_F(Console, OutcomesExitCodesLinesAndLibraryCalls) {
    struct Row {
        const char* name;
        Library library;
        std::wstring fail;
        std::vector<std::wstring> options;
        std::string image;  // "hex", "bin" or "empty" (.bin)
        DWORD code;
        std::string outcome;
        bool onError;
        std::string line;  // the outcome's line, the last of its stream
        std::vector<std::string> calls;
        bool outputLost = false;  // the standard output is a full device
        Log log = Log::Writable;
    };
    const std::string bin = std::string("\x10\x20\x30\xF0", 4) + std::string(70000, '\x5A');
    const std::vector<Row> rows = {
        {"done, .hex",
         Library::Simulated,
         L"none",
         {L"--yes"},
         "hex",
         0,
         "done",
         false,
         kDoneLine,
         {"ISP=1", "Download=1", "AP=1"}},
        {"done, .bin, quiet",
         Library::Simulated,
         L"none",
         {L"--yes", L"--quiet"},
         "bin",
         0,
         "done",
         false,
         kDoneLine,
         {"ISP=1", "Download=1", "AP=1"}},
        {"loader mode refused",
         Library::Simulated,
         L"isp",
         {L"--yes"},
         "bin",
         3,
         "loader-refused",
         true,
         "Ошибка перехода в режим загрузки  ",
         {"ISP=0"}},
        {"transfer failed, JSON Lines",
         Library::Simulated,
         L"download",
         {L"--yes", L"--json"},
         "hex",
         4,
         "transfer-failed",
         true,
         "Ошибка загрузки ",
         {"ISP=1", "Download=0"}},
        {"return failed",
         Library::Simulated,
         L"ap",
         {L"--yes"},
         "bin",
         5,
         "return-failed",
         true,
         "Ошибка выхода из режима загрузки  ",
         {"ISP=1", "Download=1", "AP=0"}},
        {"no console to ask on",
         Library::Simulated,
         L"none",
         {},
         "bin",
         2,
         "not-asked",
         true,
         "Not downloading: there is no console to ask on (standard input is not a terminal); add --yes to "
         "download without asking",
         {}},
        {"not the expected image, before the question",
         Library::Simulated,
         L"none",
         {L"--expect-sha256", std::wstring(64, L'0'), L"--expect-sum=22b0"},
         "bin",
         8,
         "wrong-image",
         true,
         "Wrong image: expected SHA-256 " + std::string(64, '0') +
             ", the image has "
             "37e2d43dec1e23b081a54917eb09cdfb0490962b855d2d2084dea3e7374f9a08"
             "; nothing was sent to the instrument",
         {}},
        {"no library", Library::Missing, L"none", {L"--yes"}, "hex", 1, "no-library", true, "", {}},
        {"a library without the entry points",
         Library::WithoutEntryPoints,
         L"none",
         {L"--yes"},
         "bin",
         1,
         "no-library",
         true,
         "",
         {}},
        {"empty image",
         Library::Simulated,
         L"none",
         {L"--yes"},
         "empty",
         1,
         "empty",
         true,
         "Not downloading: the image is empty",
         {}},
        {"done, the standard output lost",
         Library::Simulated,
         L"none",
         {L"--yes"},
         "hex",
         0,
         "done",
         false,
         kDoneLine,
         {"ISP=1", "Download=1", "AP=1"},
         true},
        {"a damaged library", Library::Damaged, L"none", {L"--yes"}, "bin", 1, "no-library", true, "", {}},
        {"needs another", Library::NeedsMissing, L"none", {L"--yes"}, "bin", 1, "no-library", true, "", {}},
        {"done, a library in the system folder too",
         Library::AlsoInSystemFolder,
         L"none",
         {L"--yes"},
         "bin",
         0,
         "done",
         false,
         kDoneLine,
         {"ISP=1", "Download=1", "AP=1"}},
        {"a read-only log",
         Library::Simulated,
         L"none",
         {L"--yes"},
         "bin",
         1,
         "",
         true,
         "",
         {},
         false,
         Log::ReadOnly},
        {"a log on a full volume",
         Library::Simulated,
         L"none",
         {L"--yes"},
         "bin",
         1,
         "",
         true,
         "",
         {},
         false,
         Log::Full},
        {"the image as its log",
         Library::Simulated,
         L"none",
         {L"--yes"},
         "bin",
         2,
         "",
         true,
         "",
         {},
         false,
         Log::Image},
        {"DFU_Download writes through a null pointer",
         Library::NullWrite,
         L"download",
         {L"--yes"},
         "bin",
         4,
         "transfer-crashed",
         true,
         "DFU_Download crashed with exception C0000005" + kLoaderModeLeft,
         {"ISP=1"}},
        {"DFU_Reset_To_ISP raises an exception",
         Library::Raising,
         L"isp",
         {L"--yes"},
         "hex",
         3,
         "loader-crashed",
         true,
         "DFU_Reset_To_ISP crashed with exception E0F00D01" + kLoaderModeLeft,
         {}},
        {"DFU_Reset_To_AP writes through a null pointer",
         Library::NullWrite,
         L"ap",
         {L"--yes"},
         "bin",
         5,
         "return-crashed",
         true,
         "DFU_Reset_To_AP crashed with exception C0000005" + kLoaderModeLeft,
         {"ISP=1", "Download=1"}},
        {"DFU_Download never returns, --timeout 1",
         Library::Hanging,
         L"download",
         {L"--yes", L"--timeout", L"1"},
         "bin",
         9,
         "timed-out",
         true,
         "Timed out: the library did not finish within 1 s; fwimage ends without waiting for it, and the "
         "instrument may be left in its loader mode",
         {"ISP=1"}},
    };
    InputFromNul input;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        DeleteFileW(simLog_.c_str());
        DeleteFileW(received_.c_str());
        const bool hex = row.image == "hex";
        const std::string bytes = hex ? kHexImage : row.image == "bin" ? bin : "";
        const std::wstring image =
            temp_.Write(hex ? L"образ прошивки.hex" : L"образ прошивки.bin", hex ? kHexTwoRecords : bytes);

        // A folder of fwimage.exe's own, with a hostile DFU.dll or none.
        const wchar_t* const hostile[] = {L"", L"", L"", L"hang", L"null", L"raise", L"damaged", L"needs"};
        const bool own = row.library != Library::Simulated && row.library != Library::AlsoInSystemFolder;
        const std::wstring exe = own ? FwimageWith(hostile[static_cast<int>(row.library)],
                                                   row.library == Library::WithoutEntryPoints)
                                     : Fwimage();
        const RemovedAtEnd systemDll{row.library == Library::AlsoInSystemFolder ? SystemFile(L"DFU.dll")
                                                                                : L""};
        if (!systemDll.path.empty()) {
            ASSERT_TRUE(CopyFileW(SystemFile(L"version.dll").c_str(), systemDll.path.c_str(), FALSE));
        }
        if (row.log == Log::ReadOnly) SetFileAttributesW(log_.c_str(), FILE_ATTRIBUTE_READONLY);
        Launch launch = Download(row.options, image, row.fail);
        if (row.outputLost) launch.outFile = L"Z:\\dev\\full";
        if (row.log == Log::Full) launch.args[launch.args.size() - 2] = L"Z:\\dev\\full";
        if (row.log == Log::Image) launch.args[launch.args.size() - 2] = image;
        Program program(exe, launch);
        EXPECT_EQ(row.code, program.ExitCode(kMs));
        const std::string out = row.outputLost ? "" : Out(), err = Err();
        const std::string& outcomeStream = row.onError ? err : out;
        if (row.outputLost) {
            // Told on the error output only: the exit code and the record stay the outcome's.
            EXPECT_EQ("Cannot write to the standard output.\n", err);
        } else {
            if (row.log != Log::Writable) {
                EXPECT_EQ(0u, LastLine(err).find("Cannot write the log file \"")) << err;
            } else if (kLibraryError.contains(row.library)) {
                EXPECT_NE(std::string::npos, LastLine(err).find(kLibraryError.at(row.library))) << err;
            } else {
                EXPECT_EQ(row.line, LastLine(outcomeStream)) << outcomeStream;
            }
            if (row.onError)
                EXPECT_EQ(1u, Split(err, '\n').size()) << "only the outcome on the error output: " << err;
            else
                EXPECT_EQ("", err);
            if (row.log != Log::Writable)
                EXPECT_EQ("", out);
            else if (std::find(row.options.begin(), row.options.end(), L"--quiet") != row.options.end())
                EXPECT_EQ(row.line + "\n", out);
            else if (std::find(row.options.begin(), row.options.end(), L"--json") != row.options.end())
                ExpectEvents({{{"event", "image"},
                               {"name", "образ прошивки.hex"},
                               {"size", kHexImage.size()},
                               {"sha256", kHexTwoRecordsSha256}},
                              {{"event", "ended"},
                               {"outcome", row.outcome},
                               {"exit_code", row.code},
                               {"text", row.line}}},
                             out);
            else
                EXPECT_EQ("Имя: образ прошивки" + std::string(hex ? ".hex" : ".bin"), Split(out, '\n').at(0));
        }
        EXPECT_EQ(row.calls, LibraryCalls(simLog_));
        if (row.code == 0) {
            EXPECT_TRUE(ReadBytes(received_) == bytes) << "the instrument received other bytes";
        }
        if (row.log == Log::Writable)
            ExpectRecord(image, bytes, row.outcome, row.code);
        else
            EXPECT_EQ(kEarlierRecord, ReadBytes(log_));
        EXPECT_TRUE(ReadBytes(image) == (hex ? kHexTwoRecords : bytes)) << "the image changed";
    }
}

// Written into a file, the progress is one line per change between searching
// and loading and one per 10 %, and the finished state once delivered. A new
// log gets a byte-order mark, a header row and CR LF.
TEST_F(Console, ProgressLinesInAFile) {
    SimControl sim(L"console-" + std::to_wstring(GetCurrentProcessId()));
    sim.SetAutoRelease(SimFn::Ap, 1);
    const std::wstring image = temp_.Write(L"fw.bin", std::string(1000, '\x01'));
    InputFromNul input;
    DeleteFileW(log_.c_str());
    Launch launch = Download({L"--yes"}, image);
    launch.env.push_back(Program::Assignment(sim.EnvAssignment()));
    Program program(Fwimage(), launch);

    sim.WaitEntered(SimFn::Isp, kMs);
    sim.WaitPolls(2, kMs);
    sim.Release(SimFn::Isp, 1);
    sim.WaitEntered(SimFn::Download, kMs);
    for (uint32_t reading : {5u, 9u, 12u, 19u, 255u, 91u}) {
        sim.SetReading(reading);
        sim.WaitPolls(2, kMs);
    }
    sim.Release(SimFn::Download, 1);
    EXPECT_EQ(0u, program.ExitCode(kMs));
    EXPECT_EQ(
        "Имя: fw.bin\n"
        "Размер: 03E8\n"
        "Контрольная сумма: 03E8\n"
        "Поиск устройства ...\n"
        "Загрузка ... [#...................] 5%\n"
        "Загрузка ... [##..................] 12%\n"
        "Поиск устройства ...\n"
        "Загрузка ... [##################..] 91%\n"
        "Загрузка ... [####################] 100%\n" +
            kDoneLine + "\n",
        Out());
    EXPECT_EQ("", Err());
    const std::string log = ReadBytes(log_);
    const std::string header = "\xEF\xBB\xBF" + kLogHeader + "\r\n";
    EXPECT_EQ(header, log.substr(0, header.size()));
    EXPECT_EQ(2u, Split(log, '\n').size()) << log;
    EXPECT_NE(std::string::npos, log.find("\tdone\t0\t")) << log;
}

// Redirected under a console, the output is in its code page with CR LF, as cmd's type and
// PowerShell read it, a character it lacks (or has only a look-alike of) as "?", told once on
// the error output; UTF-8 with LF under a UTF-8 console or with the switch. JSON is UTF-8 in all.
TEST_F(Console, RedirectedOutputInTheConsoleCodePage) {
    const std::wstring image = temp_.Write(L"образ.bin", "\x01\x02\x03");
    const struct {
        UINT console, written, hint;  // hint: the code page it names, 0 for none
        std::wstring missingName;
        std::wstring option = L"--";  // after the files: nothing
        Env env{};
    } rows[] = {
        {866, 866, 0, L"нет.bin"},
        {CP_UTF8, CP_UTF8, 0, L"нет.bin"},
        {437, 437, 437, L"нет.bin"},
        {866, 866, 866, L"né.bin"},
        {437, CP_UTF8, 0, L"нет.bin", L"--utf8"},
        {866, CP_UTF8, 0, L"né.bin", L"--", {{L"FWIMAGE_UTF8", L"1"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.missingName) + " under " + std::to_string(row.console));
        const std::wstring end = row.written == CP_UTF8 ? L"\n" : L"\r\n",
                           missing = temp_.Path(row.missingName);
        const auto encoded = [&](const std::wstring& text) {
            std::string bytes(text.size() * 4, '\0');
            bytes.resize(WideCharToMultiByte(row.written, row.written == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS,
                                             text.data(), static_cast<int>(text.size()), bytes.data(),
                                             static_cast<int>(bytes.size()), nullptr, nullptr));
            return bytes;
        };
        std::string hint;
        if (row.hint != 0)
            hint = "Characters that code page " + std::to_string(row.hint) +
                   " lacks are written as \"?\"; for UTF-8 output give --utf8 or set FWIMAGE_UTF8=1\r\n";
        OwnConsole console(row.console);
        Program program(Fwimage(), {.args = {L"info", image, missing, row.option},
                                    .env = row.env,
                                    .outFile = temp_.Path(L"out.txt"),
                                    .errFile = temp_.Path(L"err.txt")});
        EXPECT_EQ(1u, program.ExitCode(kMs));
        EXPECT_EQ(encoded(L"Имя: образ.bin" + end + L"Размер: 0003" + end + L"Контрольная сумма: 0006" + end),
                  Out());
        EXPECT_TRUE(Err().starts_with(hint + encoded(L"Cannot open file \"" + missing + L"\". "))) << Err();
        EXPECT_TRUE(Err().ends_with(encoded(L"." + end))) << Err();
        // JSON stays UTF-8 in any code page.
        Program json(Fwimage(), {.args = {L"info", L"--json", image}, .outFile = temp_.Path(L"out.txt")});
        EXPECT_EQ(0u, json.ExitCode(kMs));
        EXPECT_EQ("образ.bin", nlohmann::json::parse(Out()).value("name", "")) << Out();
    }
}

// The question is asked on the console whatever the standard output is;
// Ctrl+C at it ends at once, on a line of its own. During the transfer
// Ctrl+C is held (also a second one) until the instrument is back in its
// application; a third ends without waiting for a library that never returns.
// A convert that Ctrl+C ends leaves no temporary file, also on a network
// drive, where the file has only its name.
TEST_F(Console, CtrlCAtTheQuestionAndDuringTheTransfer) {
    const std::wstring image = temp_.Write(L"fw.bin", "\x01\x02\x03");
    OwnConsole console;
    {
        SCOPED_TRACE("at the question");
        Launch launch = Download({}, image);
        launch.errFile.clear();  // the console's
        Program program(Fwimage(), launch);
        const std::string question = kQuestion.substr(0, kQuestion.size() - 1);
        OwnConsole::WaitForRow(question);
        OwnConsole::CtrlC();
        EXPECT_EQ(130u, program.ExitCode(kMs));
        EXPECT_EQ(std::string::npos, Out().find("Загрузить")) << Out();
        const std::vector<std::string> rows = OwnConsole::Rows();
        const auto asked = std::find(rows.begin(), rows.end(), question);
        std::string screen;
        for (const std::string& row : rows) screen += row + "|\n";
        ASSERT_NE(rows.end(), asked) << screen;
        ASSERT_NE(rows.end(), asked + 1);
        EXPECT_EQ(kInterruptedLine, asked[1]);
        EXPECT_EQ(std::vector<std::string>{}, LibraryCalls(simLog_));
        ExpectRecord(image, "\x01\x02\x03", "interrupted", 130);
    }
    {
        SCOPED_TRACE("during the transfer");
        SetUp();
        SimControl sim(L"console-c-" + std::to_wstring(GetCurrentProcessId()));
        sim.SetAutoRelease(SimFn::Isp, 1);
        sim.SetAutoRelease(SimFn::Ap, 1);
        Launch launch = Download({L"--yes"}, image);
        launch.env.push_back(Program::Assignment(sim.EnvAssignment()));
        Program program(Fwimage(), launch);
        sim.WaitEntered(SimFn::Download, kMs);
        OwnConsole::CtrlC();
        WaitUntil("the line that the download goes on",
                  [&] { return Err().find(kHeldLine) != std::string::npos; });
        OwnConsole::CtrlC();
        sim.WaitPolls(2, kMs);
        sim.Release(SimFn::Download, 1);
        EXPECT_EQ(0u, program.ExitCode(kMs));
        EXPECT_EQ(kHeldLine + "\n", Err());
        EXPECT_EQ(kDoneLine, LastLine(Out()));
        EXPECT_EQ((std::vector<std::string>{"ISP=1", "Download=1", "AP=1"}), LibraryCalls(simLog_));
        ExpectRecord(image, "\x01\x02\x03", "done", 0);
    }
    {
        SCOPED_TRACE("a third Ctrl+C, DFU_Download never returning");
        SetUp();
        DeleteFileW(simLog_.c_str());
        Program program(FwimageWith(L"hang"), Download({L"--yes"}, image, L"download"));
        WaitUntil("the library's first call", [&] { return LibraryCalls(simLog_).size() == 1; });
        OwnConsole::CtrlC();
        WaitUntil("the line that the download goes on",
                  [&] { return Err().find(kHeldLine) != std::string::npos; });
        OwnConsole::CtrlC();
        OwnConsole::CtrlC();
        EXPECT_EQ(9u, program.ExitCode(kMs));
        EXPECT_EQ(
            kHeldLine + "\nAbandoned: fwimage ends without waiting for the library" + kLoaderModeLeft + "\n",
            Err());
        ExpectRecord(image, "\x01\x02\x03", "abandoned", 9);
    }
    const std::wstring hex = temp_.Write(L"large.hex", ":0100000011EE\n:020000040FFFEC\n:01FFFF0022DF\n");
    std::vector<std::wstring> folders = {temp_.Path(L"out")};
    if (GetDriveTypeW(L"N:\\") == DRIVE_REMOTE)  // scripts/wine-env.sh
        folders.push_back(L"N:\\fwl-e2e-" + std::to_wstring(GetCurrentProcessId()));
    else
        std::printf("no network drive N: in this prefix: its row is left out\n");
    for (const std::filesystem::path out : folders) {
        SCOPED_TRACE(std::string("while convert writes a large image on drive ") + char(out.wstring()[0]));
        std::filesystem::create_directory(out);
        const auto files = [&] { return std::distance(std::filesystem::directory_iterator(out), {}); };
        Program program(Fwimage(), {.args = {L"convert", hex, out / L"large.bin"}});
        WaitUntil("the temporary file", [&] { return files() > 0; });
        OwnConsole::CtrlC();
        program.ExitCode(kMs);
        EXPECT_EQ(0, files());
        std::filesystem::remove_all(out);
    }
}

// A station loop of three instruments, the second failing its transfer: the
// question once, Enter between units (typed ahead), Ctrl+C at the fourth
// prompt. Its JSON Lines have one ended event per unit and the summary; the
// log one numbered record per unit. Between units fwimage takes under 50 ms
// outside the library calls.
TEST_F(Console, StationLoop) {
    const std::wstring image = temp_.Write(L"прошивка.bin", "\x01\x02\x03");
    OwnConsole console;
    SimControl sim(L"console-s-" + std::to_wstring(GetCurrentProcessId()));
    for (uint32_t result : {1, 0, 1}) sim.Release(SimFn::Download, result);
    sim.SetAutoRelease(SimFn::Isp, 1);
    sim.SetAutoRelease(SimFn::Ap, 1);
    Launch launch = Download({L"--repeat", L"--json"}, image);
    launch.env.push_back(Program::Assignment(sim.EnvAssignment()));
    Program program(Fwimage(), launch);
    OwnConsole::Type(L"y\r\r\r");
    OwnConsole::WaitForRow("Units done: 2, units failed: 1");
    OwnConsole::CtrlC();
    EXPECT_EQ(4u, program.ExitCode(kMs));

    const auto ended = [](int unit, const char* outcome, int code) {
        return nlohmann::json{{"event", "ended"}, {"unit", unit}, {"outcome", outcome}, {"exit_code", code}};
    };
    ExpectEvents({{{"event", "image"}, {"name", "прошивка.bin"}, {"size", 3}, {"sum", "0006"}},
                  ended(1, "done", 0),
                  ended(2, "transfer-failed", 4),
                  ended(3, "done", 0),
                  {{"event", "summary"}, {"units", 3}, {"done", 2}, {"failed", 1}, {"exit_code", 4}}},
                 Out());
    EXPECT_EQ("Ошибка загрузки \n", Err());
    const std::vector<std::string> records = Split(ReadBytes(log_), '\n');
    ASSERT_EQ(4u, records.size());
    for (size_t unit : {1, 2, 3})
        EXPECT_EQ((unit == 2 ? "transfer-failed " : "done ") + std::to_string(unit),
                  Split(records[unit], '\t').at(4) + " " + Split(records[unit], '\t').back());
    // From the end of a unit's last library call to the next unit's first.
    std::vector<long> gaps;
    long last = -1;
    for (const std::string& line : Split(ReadBytes(simLog_), '\n')) {
        const size_t t = line.find(" t="), isp = line.rfind("DFU_Reset_To_ISP", 0);
        if (isp == 0 && last >= 0) gaps.push_back(std::stol(line.substr(t + 3)) - last);
        if (line.rfind("DFU_Get", 0) != 0 && t != std::string::npos)
            last = std::stol(line.substr(line.find('-', t) + 1));
    }
    ASSERT_EQ(2u, gaps.size());
    EXPECT_LT(std::min(gaps[0], gaps[1]), 50) << gaps[0] << " and " << gaps[1] << " ms between units";
}

}  // namespace

// What the console's end-to-end tests share: the texts they expect, the
// instrument's account of its calls, a console of the test's own, and the
// fixture that starts fwimage download.
#pragma once

#include "Fixture.h"
#include "SimControl.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace e2e {

// A wait that can only end well; see kWaitMs.
inline constexpr DWORD kMs = kWaitMs;

inline const std::string kDoneLine = "Загрузка завершена  ";
inline const std::string kHeldLine =
    "Ctrl+C: загрузка сначала закончится, чтобы прошивка не осталась в приборе записанной наполовину; "
    "fwimage завершится после неё. Третье нажатие Ctrl+C завершит fwimage, не дожидаясь библиотеки DFU.dll; "
    "прибор тогда может остаться в режиме загрузки";
inline const std::string kLoaderModeLeft = "; прибор может остаться в режиме загрузки";
// Before the call and how it ended, e.g. "DFU_Download (исключение C0000005)".
inline const std::string kCrashedIn = "Библиотека DFU.dll аварийно завершилась в ";
inline const std::string kQuestion = " Загрузить программу ?  [д/Н] ";
inline const std::string kInterruptedLine = "Прервано: в прибор ничего не отправлено";

std::string Sum16Hex(const std::string& bytes);

std::string SizeHex(size_t size);

// A file in the system folder.
std::wstring SystemFile(const std::wstring& name);

std::string LastLine(const std::string& text);

// fwimage's own lines: without the library's, and without those Wine's
// loader writes itself when a process crashes.
std::vector<std::string> OwnLines(const std::string& text);

// A process's exit code in a line, which Wine does not give reliably for a
// crash it did not see: "exit code ########".
std::string CodeMasked(std::string line);

// Processes of that program now running.
size_t RunningProcesses(const std::wstring& exeName);

// The instrument's account of ISP, Download and AP: "ISP=1", "Download=0"...
// in call order; none when the library was never loaded.
std::vector<std::string> LibraryCalls(const std::wstring& simLog);

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
    // Wine hands a console's Ctrl+C to a process as a signal, and two that
    // come before the first is handled count once: after a press that was
    // seen, one press at a time until the program ends. How many it took.
    static int CtrlCUntilEnded(Program& program, int most = 6) {
        for (int press = 1; press <= most; ++press) {
            CtrlC();
            if (program.WaitForExit(1000)) return press;
        }
        return most + 1;
    }

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

    // The same, scripted by sim, whose loader-mode steps return 1 at once.
    Launch Scripted(SimControl& sim, std::vector<std::wstring> options, const std::wstring& image) {
        sim.SetAutoRelease(SimFn::Isp, 1);
        sim.SetAutoRelease(SimFn::Ap, 1);
        Launch launch = Download(std::move(options), image);
        launch.env.push_back(Program::Assignment(sim.EnvAssignment()));
        return launch;
    }

    std::string Out() const { return ReadBytes(temp_.Path(L"out.txt")); }
    std::string Err() const { return ReadBytes(temp_.Path(L"err.txt")); }

    // The record that the download appended to the log after the line before it;
    // simulated: made with the simulated library loaded.
    void ExpectRecord(const std::wstring& image, const std::string& bytes, const std::string& outcome,
                      DWORD code, bool simulated) {
        const std::vector<std::string> lines = Split(ReadBytes(log_), '\n');
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ(kEarlierRecord, lines[0] + "\n");
        const std::vector<std::string> fields = Split(lines[1] + "\t", '\t');
        ASSERT_EQ(13u, fields.size()) << lines[1];
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
        EXPECT_EQ(simulated, fields[8].ends_with(" (имитация)")) << fields[8];
        EXPECT_EQ("", fields[9]) << "no unit outside a station loop";
        EXPECT_EQ("", fields[10]);
        EXPECT_EQ(StationAndOperator(), fields[11] + "\t" + fields[12]);
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

// Removes a file when it goes, also when an assertion ends the test.
struct RemovedAtEnd {
    std::wstring path;
    ~RemovedAtEnd() { DeleteFileW(path.c_str()); }
};

// The standard output's JSON Lines, each parsed, the progress's events left
// out: each has at least the members expected, with their values.
void ExpectEvents(const std::vector<nlohmann::json>& expected, const std::string& out);

}  // namespace e2e

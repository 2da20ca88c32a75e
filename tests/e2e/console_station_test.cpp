// fwimage download on a console of its own: Ctrl+C at the question, during
// the transfer and while the library loads; the station loop, also with a
// library that misbehaves on one unit.
#include "ConsoleFixture.h"
#include "download/DownloadLogFile.h"
#include "SimControl.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

using namespace e2e;

namespace {

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
        ExpectRecord(image, "\x01\x02\x03", "interrupted", 130, false);
    }
    {
        SCOPED_TRACE("during the transfer");
        SetUp();
        SimControl sim(L"console-c-" + std::to_wstring(GetCurrentProcessId()));
        Program program(Fwimage(), Scripted(sim, {L"--yes"}, image));
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
        ExpectRecord(image, "\x01\x02\x03", "done", 0, true);
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
        EXPECT_LE(2, OwnConsole::CtrlCUntilEnded(program));  // the second goes on waiting
        EXPECT_EQ(9u, program.ExitCode(kMs));
        EXPECT_EQ(kHeldLine + "\nЗагрузка прекращена: fwimage завершается, не дожидаясь библиотеки DFU.dll" +
                      kLoaderModeLeft + "\n",
                  Err());
        ExpectRecord(image, "\x01\x02\x03", "abandoned", 9, false);
    }
    {
        SCOPED_TRACE("DllMain never returning: the first Ctrl+C");
        SetUp();
        Program program(FwimageWith(L"dllmain"), Download({L"--yes"}, image));
        WaitUntil("the library's process", [&] { return RunningProcesses(L"fwimage.exe") == 2; });
        OwnConsole::CtrlC();
        EXPECT_EQ(130u, program.ExitCode(kMs));
        EXPECT_EQ(kInterruptedLine + "\n", Err());
        ExpectRecord(image, "\x01\x02\x03", "interrupted", 130, false);
        WaitUntil("no process left", [&] { return RunningProcesses(L"fwimage.exe") == 0; });
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
// question once, Enter between units and Ctrl+Z at the last prompt, all
// typed ahead. Each unit's progress starts with its own search, though the
// library still reads the last unit's 100 until DFU_Reset_To_ISP returns;
// the operator reads only Russian. The log has one numbered record per unit.
// The time fwimage takes between units outside the library calls is printed
// for bench/station.sh.
TEST_F(Console, StationLoop) {
    const std::wstring image = temp_.Write(L"прошивка.bin", "\x01\x02\x03");
    OwnConsole console;
    SimControl sim(L"console-s-" + std::to_wstring(GetCurrentProcessId()));
    Launch launch = Scripted(sim, {L"--repeat"}, image);
    sim.ClearAutoRelease(SimFn::Isp);
    Program program(Fwimage(), launch);
    OwnConsole::Type(L"y\r\r\r\x1a\r");
    for (uint32_t result : {1, 0, 1}) {
        sim.WaitEntered(SimFn::Isp, kMs);
        sim.SetReading(100);
        sim.WaitPolls(2, kMs);
        sim.SetReading(255);
        sim.Release(SimFn::Isp, 1);
        sim.WaitEntered(SimFn::Download, kMs);
        sim.WaitPolls(2, kMs);
        sim.SetReading(100);
        sim.WaitPolls(2, kMs);
        sim.Release(SimFn::Download, result);
    }
    EXPECT_EQ(4u, program.ExitCode(kMs));

    std::string told;
    for (const std::string& line : Split(Out(), '\n')) told += line.substr(0, line.find('\r')) + "|";
    const std::string fresh = "Поиск устройства ...|Загрузка ... [####################] 100%|";
    EXPECT_EQ("Имя: прошивка.bin|Размер: 0003|Контрольная сумма: 0006|" + fresh + kDoneLine + "|" + fresh +
                  fresh + kDoneLine + "|Итого: приборов 3, загружено 2, с ошибкой 1|",
              told);
    EXPECT_EQ("Ошибка загрузки \n", Err());
    const std::vector<std::string> rows = OwnConsole::Rows();
    EXPECT_EQ(3, std::count_if(rows.begin(), rows.end(), [](const std::string& row) {
                  return row.starts_with("Подключите следующий прибор и нажмите Enter; Ctrl+C — закончить:");
              }));
    for (const std::string& row : rows)
        EXPECT_TRUE(row.empty() || row.find_first_of("\xD0\xD1") != std::string::npos) << row;
    const std::vector<std::string> records = Split(ReadBytes(log_), '\n');
    ASSERT_EQ(4u, records.size());
    for (size_t unit : {1, 2, 3})
        EXPECT_EQ((unit == 2 ? "transfer-failed " : "done ") + std::to_string(unit),
                  Split(records[unit], '\t').at(4) + " " + Split(records[unit], '\t').at(9));
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
    // A figure, not a verdict: bench/station.sh reads it against its goal.
    std::printf("station gap: %ld ms, %ld ms between units\n", gaps[0], gaps[1]);
}

// A station loop whose library misbehaves: with DFU_Download hanging on the
// second unit, --timeout ends that unit and a fresh process serves the
// third; Ctrl+C during a unit ends the loop after it, Enter typed ahead or
// not; the third ends it at once. Each time with the summary, and no
// process left behind.
TEST_F(Console, StationLoopWithAMisbehavingLibrary) {
    const std::wstring image = temp_.Write(L"прошивка.bin", "\x01\x02\x03");
    const auto ended = [](int unit, const char* outcome, int code) {
        return nlohmann::json{{"event", "ended"}, {"unit", unit}, {"outcome", outcome}, {"exit_code", code}};
    };
    const auto summary = [](int done, int failed, int code) {
        return nlohmann::json{{"event", "summary"},
                              {"units", done + failed},
                              {"done", done},
                              {"failed", failed},
                              {"exit_code", code}};
    };
    const nlohmann::json imageEvent{{"event", "image"}, {"name", "прошивка.bin"}};
    const auto outcomes = [&] {
        std::string units;
        const std::vector<std::string> records = Split(ReadBytes(log_), '\n');
        for (size_t unit = 1; unit < records.size(); ++unit)  // after the earlier record
            units += Split(records[unit], '\t').at(4) + " " + Split(records[unit], '\t').at(9) + ",";
        return units;
    };
    {
        SCOPED_TRACE("a hang on the second unit, --timeout 2");
        OwnConsole console;
        DeleteFileW(simLog_.c_str());
        Launch launch = Download({L"--repeat", L"--json", L"--timeout", L"2"}, image, L"download");
        launch.env.push_back({L"FWL_HOSTILE_UNIT", L"2"});
        Program program(FwimageWith(L"hang"), launch);
        OwnConsole::Type(L"y\r\r\r");
        OwnConsole::WaitForRow("Приборов загружено: 2, с ошибкой: 1");
        OwnConsole::CtrlC();
        EXPECT_EQ(9u, program.ExitCode(kMs));
        ExpectEvents({imageEvent, ended(1, "done", 0), ended(2, "timed-out", 9), ended(3, "done", 0),
                      summary(2, 1, 9)},
                     Out());
        EXPECT_EQ("done 1,timed-out 2,done 3,", outcomes());
        const std::vector<std::string> rows = OwnConsole::Rows();
        EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [](const std::string& row) {
            return row.starts_with("Прибор 2 требует проверки");
        }));
        WaitUntil("no process left", [&] { return RunningProcesses(L"fwimage.exe") == 0; });
    }
    {
        SCOPED_TRACE("Ctrl+C during the first unit, Enter typed ahead");
        OwnConsole console;  // of its own: its Enter typed ahead stays in it
        SetUp();
        SimControl sim(L"console-r-" + std::to_wstring(GetCurrentProcessId()));
        Program program(Fwimage(), Scripted(sim, {L"--repeat", L"--json"}, image));
        OwnConsole::Type(L"y\r\r\r");
        sim.WaitEntered(SimFn::Download, kMs);
        OwnConsole::CtrlC();
        WaitUntil("the line that the download goes on",
                  [&] { return Err().find(kHeldLine) != std::string::npos; });
        sim.Release(SimFn::Download, 1);
        EXPECT_EQ(0u, program.ExitCode(kMs));
        ExpectEvents({imageEvent, ended(1, "done", 0), summary(1, 0, 0)}, Out());
        EXPECT_EQ("done 1,", outcomes());
    }
    {
        SCOPED_TRACE("a third Ctrl+C, DFU_Download never returning");
        OwnConsole console;
        SetUp();
        DeleteFileW(simLog_.c_str());
        Program program(FwimageWith(L"hang"), Download({L"--repeat", L"--json"}, image, L"download"));
        OwnConsole::Type(L"y\r\r\r");
        WaitUntil("the library's first call", [&] { return LibraryCalls(simLog_).size() == 1; });
        OwnConsole::CtrlC();
        WaitUntil("the line that the download goes on",
                  [&] { return Err().find(kHeldLine) != std::string::npos; });
        EXPECT_LE(2, OwnConsole::CtrlCUntilEnded(program));
        EXPECT_EQ(9u, program.ExitCode(kMs));
        ExpectEvents({imageEvent, ended(1, "abandoned", 9), summary(0, 1, 9)}, Out());
        EXPECT_EQ("abandoned 1,", outcomes());
        WaitUntil("no process left", [&] { return RunningProcesses(L"fwimage.exe") == 0; });
    }
    {
        SCOPED_TRACE("the first unit's record lost: no next unit");
        OwnConsole console;
        SetUp();
        SimControl sim(L"console-l-" + std::to_wstring(GetCurrentProcessId()));
        Program program(Fwimage(), Scripted(sim, {L"--repeat", L"--json"}, image));
        OwnConsole::Type(L"y\r\r\r");
        sim.WaitEntered(SimFn::Download, kMs);
        // Another station holds the log's end for longer than a writer waits.
        const HANDLE held = CreateFileW(log_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(kLogLockOffset);
        at.OffsetHigh = static_cast<DWORD>(kLogLockOffset >> 32);
        ASSERT_TRUE(LockFileEx(held, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
        sim.Release(SimFn::Download, 1);
        EXPECT_EQ(6u, program.ExitCode(kMs));
        UnlockFileEx(held, 0, 1, 0, &at);
        CloseHandle(held);
        ExpectEvents({imageEvent, ended(1, "done", 6), summary(0, 1, 6)}, Out());
        const std::vector<std::string> rows = OwnConsole::Rows();
        EXPECT_FALSE(std::any_of(rows.begin(), rows.end(), [](const std::string& row) {
            return row.starts_with("Подключите следующий прибор");
        }));
    }
}

// fwimage's hidden window, if it has one now.
HWND SessionWindow(DWORD pid) {
    for (HWND window = nullptr; (window = FindWindowExW(nullptr, window, L"fwimage download", nullptr));) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == pid) return window;
    }
    return nullptr;
}

// A hidden window holds off the session's end while the library works, and
// lets it go between units; when the session ends all the same, the record
// is written before the window lets it go.
TEST_F(Console, EndOfTheSessionDuringTheTransferIsRecorded) {
    const std::wstring image = temp_.Write(L"fw.bin", "\x01\x02\x03");
    OwnConsole console;
    SimControl sim(L"console-e-" + std::to_wstring(GetCurrentProcessId()));
    Program program(Fwimage(), Scripted(sim, {L"--repeat", L"--json"}, image));
    OwnConsole::Type(L"y\r");
    sim.WaitEntered(SimFn::Download, kMs);
    WaitUntil("the window during the transfer", [&] { return SessionWindow(program.Pid()) != nullptr; });
    sim.Release(SimFn::Download, 1);
    const HWND window = SessionWindow(program.Pid());
    DWORD_PTR answer = FALSE;
    WaitUntil("the session let go at the unit's ending", [&] {
        return SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, kMs,
                                   &answer) &&
               answer == TRUE;
    });
    OwnConsole::Type(L"\r");
    sim.WaitEntered(SimFn::Download, kMs);
    answer = TRUE;
    ASSERT_TRUE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, kMs,
                                    &answer));
    EXPECT_EQ(FALSE, answer);
    ASSERT_TRUE(
        SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, kMs, &answer));
    const std::vector<std::string> records = Split(ReadBytes(log_), '\n');
    ASSERT_EQ(3u, records.size());
    const std::vector<std::string> last = Split(records[2], '\t');
    EXPECT_EQ("closed 130 2", last.at(4) + " " + last.at(5) + " " + last.at(9));
    EXPECT_EQ(130u, program.ExitCode(kMs));
}

// Takes the mutex and ends without letting it go: the system marks it abandoned.
DWORD WINAPI TakeAndEnd(LPVOID mutex) {
    return WaitForSingleObject(static_cast<HANDLE>(mutex), 0);
}

// --ask-serial: each scanned serial starts its unit (an empty line asks again) and goes into its
// record and event with the station and operator; --serial of a unit done before is told.
TEST_F(Console, SerialsStationsAndOperators) {
    const std::wstring image = temp_.Write(L"fw.bin", "\x01\x02\x03");
    const std::vector<std::string> here = Split(StationAndOperator() + "\t", '\t');
    const auto ended = [&](const char* serial) {
        return nlohmann::json{{"event", "ended"}, {"serial", serial}, {"station", here[0]}, {"operator", here[1]}};
    };
    OwnConsole console;
    SimControl sim(L"console-n-" + std::to_wstring(GetCurrentProcessId()));
    sim.SetAutoRelease(SimFn::Download, 1);
    Program station(Fwimage(), Scripted(sim, {L"--repeat", L"--ask-serial", L"--yes", L"--json"}, image));
    OwnConsole::Type(L"\r  SN-0001 \rSN-0002\r\x1a\r");
    EXPECT_EQ(0u, station.ExitCode(kMs));
    ExpectEvents({{{"event", "image"}}, ended("SN-0001"), ended("SN-0002"), {{"event", "summary"}}}, Out());
    Program single(Fwimage(), Download({L"--yes", L"--json", L"--serial", L"SN-0002"}, image));
    EXPECT_EQ(0u, single.ExitCode(kMs));
    EXPECT_EQ(0u, Err().find("Прибор SN-0002 уже прошит этой прошивкой на станции " + here[0] + ", 20")) << Err();
    ExpectEvents({{{"event", "image"}}, ended("SN-0002")}, Out());
    std::string units;
    for (const std::string& line : Split(ReadBytes(log_), '\n'))
        if (line.ends_with("\t" + StationAndOperator()))
            units += Split(line, '\t').at(9) + Split(line, '\t').at(10) + "|";
    EXPECT_EQ("1SN-0001|2SN-0002|SN-0002|", units);
}

// A second fwimage while the first is inside a step, to its last, ends busy before loading the
// library; a lock whose holder died is taken over with a line.
TEST_F(Console, OneDownloadPerComputer) {
    const std::wstring image = temp_.Write(L"fw.bin", "\x01\x02\x03");
    OwnConsole console;
    InputFromNul nul;
    const auto second = [&] {
        DeleteFileW(simLog_.c_str());
        SetUp();
        return Program(Fwimage(), Download({L"--yes"}, image)).ExitCode(kMs);
    };
    for (const SimFn step : {SimFn::Isp, SimFn::Ap}) {
        SimControl sim(L"console-b-" + std::to_wstring(GetCurrentProcessId()));
        Launch launch = Scripted(sim, {L"--yes"}, image);
        sim.ClearAutoRelease(step);
        sim.SetAutoRelease(SimFn::Download, 1);
        launch.args.at(3) = temp_.Path(L"first.tsv");  // its --log
        launch.env.push_back({L"FWL_DFU_LOG", temp_.Path(L"first-dfu.log")});
        launch.outFile = temp_.Path(L"first-out.txt");
        launch.errFile = temp_.Path(L"first-err.txt");
        Program first(Fwimage(), launch);
        sim.WaitEntered(step, kMs);
        EXPECT_EQ(10u, second());
        EXPECT_EQ("Загрузка не начата: на этом компьютере другая программа уже загружает прибор; в прибор ничего "
                  "не отправлено\n",
                  Err());
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(simLog_.c_str())) << "the library was loaded";
        ExpectRecord(image, "\x01\x02\x03", "busy", 10, false);
        sim.Release(step, 1);
        EXPECT_EQ(0u, first.ExitCode(kMs));
    }
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Global\\FirmwareLoader.Download");
    const HANDLE holder = CreateThread(nullptr, 0, TakeAndEnd, mutex, 0, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holder, kMs));
    EXPECT_EQ(0u, second());
    EXPECT_EQ("Программа, загружавшая прибор на этом компьютере, завершилась, не закончив загрузку; прибор "
              "может остаться в режиме загрузки. Загрузка продолжается\n",
              Err());
    ExpectRecord(image, "\x01\x02\x03", "done", 0, true);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0)) << "let go at the unit's end";
    ReleaseMutex(mutex);
    CloseHandle(holder);
    CloseHandle(mutex);
}

}  // namespace

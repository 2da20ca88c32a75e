// fwimage download as a script runs it: each outcome with its exit code,
// line, log record and the library calls the instrument saw, whatever the
// library does; the progress lines written into a file; the output's code page.
#include "ConsoleFixture.h"
#include "SimControl.h"

#include <algorithm>
#include <map>

using namespace e2e;

namespace {

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
    OwnThreadCrashing,
    OwnFilter,
    FailingFast,
    EndingItsThread,
    EndingTheProcess,
    Slow,
    Printing,
    DllMainHanging,
    AlsoInSystemFolder
};
// The error's words for a library that does not load.
const std::map<Library, std::string> kLibraryError = {
    {Library::Missing, "Не найдена библиотека прибора DFU.dll: её нет ни в папке \""},
    {Library::WithoutEntryPoints, "\" нет функции DFU_Reset_To_ISP"},
    {Library::Damaged, "\": это не 32-разрядная библиотека Windows (64-разрядная DFU.dll или повреждённый файл)"},
    {Library::NeedsMissing, "\": нет библиотеки, которая нужна DFU.dll"}};
// Where the log is: a file with a record, the same file read-only, a full
// device, the image itself.
enum class Log { Writable, ReadOnly, Full, Image };

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
        Env env = {};
        std::string dllMain = {};  // what the library's DllMain saw, when given
    };
    const std::string bin = std::string("\x10\x20\x30\xF0", 4) + std::string(70000, '\x5A');
    // Over one 4 MiB piece of the image's way to the library's process, no piece like another.
    std::string big(5 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(((i * 2654435761u) >> 24) ^ (i >> 16));
    // A row of a hostile library: --yes, a .bin, --timeout when given; the
    // ending's line on the error output unless done.
    const auto Hostile = [](const char* name, Library library, const wchar_t* step, const wchar_t* timeout,
                            DWORD code, const char* outcome, const std::string& line,
                            std::vector<std::string> calls) {
        std::vector<std::wstring> options = {L"--yes"};
        if (*timeout) options.insert(options.end(), {L"--timeout", timeout});
        return Row{.name = name,
                   .library = library,
                   .fail = step,
                   .options = options,
                   .image = "bin",
                   .code = code,
                   .outcome = outcome,
                   .onError = code != 0,
                   .line = line,
                   .calls = calls};
    };
    const std::vector<Row> rows = {
        {.name = "done, .hex",
         .library = Library::Simulated,
         .fail = L"none",
         .options = {L"--yes"},
         .image = "hex",
         .code = 0,
         .outcome = "done",
         .onError = false,
         .line = kDoneLine,
         .calls = {"ISP=1", "Download=1", "AP=1"}},
        {.name = "done, .bin, quiet",
         .library = Library::Simulated,
         .fail = L"none",
         .options = {L"--yes", L"--quiet"},
         .image = "bin",
         .code = 0,
         .outcome = "done",
         .onError = false,
         .line = kDoneLine,
         .calls = {"ISP=1", "Download=1", "AP=1"}},
        {.name = "loader mode refused",
         .library = Library::Simulated,
         .fail = L"isp",
         .options = {L"--yes"},
         .image = "bin",
         .code = 3,
         .outcome = "loader-refused",
         .onError = true,
         .line = "Ошибка перехода в режим загрузки  ",
         .calls = {"ISP=0"}},
        {.name = "transfer failed, JSON Lines",
         .library = Library::Simulated,
         .fail = L"download",
         .options = {L"--yes", L"--json"},
         .image = "hex",
         .code = 4,
         .outcome = "transfer-failed",
         .onError = true,
         .line = "Ошибка загрузки ",
         .calls = {"ISP=1", "Download=0"}},
        {.name = "return failed",
         .library = Library::Simulated,
         .fail = L"ap",
         .options = {L"--yes"},
         .image = "bin",
         .code = 5,
         .outcome = "return-failed",
         .onError = true,
         .line = "Ошибка выхода из режима загрузки  ",
         .calls = {"ISP=1", "Download=1", "AP=0"}},
        {.name = "no console to ask on",
         .library = Library::Simulated,
         .fail = L"none",
         .options = {},
         .image = "bin",
         .code = 2,
         .outcome = "not-asked",
         .onError = true,
         .line =
             "Загрузка не начата: подтверждение спросить негде (стандартный ввод — не консоль); чтобы загружать "
             "без вопроса, добавьте --yes",
         .calls = {}},
        {.name = "not the expected image, before the question",
         .library = Library::Simulated,
         .fail = L"none",
         .options = {L"--expect-sha256", std::wstring(64, L'0'), L"--expect-sum=22b0"},
         .image = "bin",
         .code = 8,
         .outcome = "wrong-image",
         .onError = true,
         .line = "Не та прошивка: ожидался SHA-256 " + std::string(64, '0') +
                 ", у прошивки "
                 "37e2d43dec1e23b081a54917eb09cdfb0490962b855d2d2084dea3e7374f9a08"
                 "; в прибор ничего не отправлено",
         .calls = {}},
        {.name = "the expected image, its SHA-256 and sum in capitals",
         .library = Library::Simulated,
         .fail = L"none",
         .options = {L"--yes", L"--expect-sha256",
                     L"37E2D43DEC1E23B081A54917EB09CDFB0490962B855D2D2084DEA3E7374F9A08",
                     L"--expect-sum=22B0"},
         .image = "bin",
         .code = 0,
         .outcome = "done",
         .onError = false,
         .line = kDoneLine,
         .calls = {"ISP=1", "Download=1", "AP=1"}},
        {.name = "no library",
         .library = Library::Missing,
         .fail = L"none",
         .options = {L"--yes"},
         .image = "hex",
         .code = 1,
         .outcome = "no-library",
         .onError = true,
         .line = "",
         .calls = {}},
        {.name = "a library without the entry points",
         .library = Library::WithoutEntryPoints,
         .fail = L"none",
         .options = {L"--yes"},
         .image = "bin",
         .code = 1,
         .outcome = "no-library",
         .onError = true,
         .line = "",
         .calls = {}},
        {.name = "empty image",
         .library = Library::Simulated,
         .fail = L"none",
         .options = {L"--yes"},
         .image = "empty",
         .code = 1,
         .outcome = "empty",
         .onError = true,
         .line = "Загрузка не начата: прошивка пуста",
         .calls = {}},
        {.name = "done, the standard output lost",
         .library = Library::Simulated,
         .fail = L"none",
         .options = {L"--yes"},
         .image = "hex",
         .code = 0,
         .outcome = "done",
         .onError = false,
         .line = kDoneLine,
         .calls = {"ISP=1", "Download=1", "AP=1"},
         .outputLost = true},
        {.name = "a damaged library",
         .library = Library::Damaged,
         .fail = L"none",
         .options = {L"--yes"},
         .image = "bin",
         .code = 1,
         .outcome = "no-library",
         .onError = true,
         .line = "",
         .calls = {}},
        {.name = "needs another",
         .library = Library::NeedsMissing,
         .fail = L"none",
         .options = {L"--yes"},
         .image = "bin",
         .code = 1,
         .outcome = "no-library",
         .onError = true,
         .line = "",
         .calls = {}},
        {.name = "done, a library in the system folder too",
         .library = Library::AlsoInSystemFolder,
         .fail = L"none",
         .options = {L"--yes"},
         .image = "bin",
         .code = 0,
         .outcome = "done",
         .onError = false,
         .line = kDoneLine,
         .calls = {"ISP=1", "Download=1", "AP=1"}},
        {.name = "a read-only log",
         .library = Library::Simulated,
         .fail = L"none",
         .options = {L"--yes", L"--json"},
         .image = "bin",
         .code = 1,
         .outcome = "",
         .onError = true,
         .line = "",
         .calls = {},
         .outputLost = false,
         .log = Log::ReadOnly},
        {.name = "a log on a full volume",
         .library = Library::Simulated,
         .fail = L"none",
         .options = {L"--yes", L"--json"},
         .image = "bin",
         .code = 1,
         .outcome = "",
         .onError = true,
         .line = "",
         .calls = {},
         .outputLost = false,
         .log = Log::Full},
        {.name = "the image as its log",
         .library = Library::Simulated,
         .fail = L"none",
         .options = {L"--yes"},
         .image = "bin",
         .code = 2,
         .outcome = "",
         .onError = true,
         .line = "",
         .calls = {},
         .outputLost = false,
         .log = Log::Image},
        {.name = "DFU_Download writes through a null pointer",
         .library = Library::NullWrite,
         .fail = L"download",
         .options = {L"--yes"},
         .image = "bin",
         .code = 4,
         .outcome = "transfer-crashed",
         .onError = true,
         .line = kCrashedIn + "DFU_Download (исключение C0000005)" + kLoaderModeLeft,
         .calls = {"ISP=1"}},
        {.name = "DFU_Reset_To_ISP raises an exception",
         .library = Library::Raising,
         .fail = L"isp",
         .options = {L"--yes"},
         .image = "hex",
         .code = 3,
         .outcome = "loader-crashed",
         .onError = true,
         .line = kCrashedIn + "DFU_Reset_To_ISP (исключение E0F00D01)" + kLoaderModeLeft,
         .calls = {}},
        {.name = "DFU_Reset_To_AP writes through a null pointer",
         .library = Library::NullWrite,
         .fail = L"ap",
         .options = {L"--yes"},
         .image = "bin",
         .code = 5,
         .outcome = "return-crashed",
         .onError = true,
         .line = kCrashedIn + "DFU_Reset_To_AP (исключение C0000005)" + kLoaderModeLeft,
         .calls = {"ISP=1", "Download=1"}},
        {.name = "DFU_Download never returns, --timeout 1",
         .library = Library::Hanging,
         .fail = L"download",
         .options = {L"--yes", L"--timeout", L"1"},
         .image = "bin",
         .code = 9,
         .outcome = "timed-out",
         .onError = true,
         .line =
             "Время ожидания истекло: библиотека DFU.dll не закончила работу за 1 с; fwimage завершается, не "
             "дожидаясь её, и прибор может остаться в режиме загрузки",
         .calls = {"ISP=1"}},
        Hostile(
            "DFU_Get_ProcessCount never returns, --timeout 2", Library::Hanging, L"reading", L"2", 9,
            "timed-out",
            "Время ожидания истекло: библиотека DFU.dll не закончила работу за 2 с; fwimage завершается, не "
            "дожидаясь её, и прибор может остаться в режиме загрузки",
            {"ISP=1", "Download=1"}),
        Hostile("DFU_Get_ProcessCount writes through a null pointer", Library::NullWrite, L"reading", L"", 4,
                "transfer-crashed",
                kCrashedIn + "DFU_Get_ProcessCount (исключение C0000005)" + kLoaderModeLeft, {"ISP=1"}),
        Hostile("a crash on a thread of the library's own", Library::OwnThreadCrashing, L"download", L"", 4,
                "transfer-crashed", kCrashedIn + "DFU_Download (исключение C0000005)" + kLoaderModeLeft,
                {"ISP=1"}),
        Hostile("the library's own top-level filter, then a crash", Library::OwnFilter, L"download", L"", 4,
                "transfer-crashed", kCrashedIn + "DFU_Download (код выхода ########)" + kLoaderModeLeft,
                {"ISP=1"}),
        Hostile("a fail-fast in DFU_Reset_To_AP", Library::FailingFast, L"ap", L"", 5, "return-crashed",
                kCrashedIn + "DFU_Reset_To_AP (код выхода ########)" + kLoaderModeLeft,
                {"ISP=1", "Download=1"}),
        Hostile("ExitThread inside DFU_Download, --timeout 2", Library::EndingItsThread, L"download", L"2", 4,
                "transfer-crashed",
                kCrashedIn + "DFU_Download (код выхода потока 00000003)" + kLoaderModeLeft, {"ISP=1"}),
        Hostile("ExitProcess(0) inside DFU_Download", Library::EndingTheProcess, L"download", L"", 4,
                "transfer-crashed", kCrashedIn + "DFU_Download (код выхода 00000000)" + kLoaderModeLeft,
                {"ISP=1"}),
        Hostile(
            "DllMain never returns, --timeout 2", Library::DllMainHanging, L"none", L"2", 9, "timed-out",
            "Время ожидания истекло: библиотека DFU.dll не загрузилась за 2 с; в прибор ничего не отправлено",
            {}),
        [&] {
            Row row = Hostile("DFU_Download returns after 1.5 s, --timeout 3", Library::Slow, L"download", L"3", 0,
                              "done", kDoneLine, {"ISP=1", "Download=1", "AP=1"});
            row.dllMain = "attach\ndetach\n";
            return row;
        }(),
        [&] {
            Row row = Hostile(
                "DFU_Download never returns, --timeout 5, the process not ending when terminated",
                Library::Hanging, L"download", L"5", 9, "timed-out",
                "Время ожидания истекло: библиотека DFU.dll не закончила работу за 5 с; fwimage завершается, не "
                "дожидаясь её, и прибор может остаться в режиме загрузки; процесс библиотеки может ещё работать",
                {"ISP=1"});
            row.env = {{L"FWL_HOST_UNKILLABLE", L"1"}};
            row.dllMain = "attach\n";
            return row;
        }(),
        Hostile("ExitThread inside DFU_Reset_To_AP, --timeout 2", Library::EndingItsThread, L"ap", L"2", 5,
                "return-crashed", kCrashedIn + "DFU_Reset_To_AP (код выхода потока 00000003)" + kLoaderModeLeft,
                {"ISP=1", "Download=1"}),
        Hostile("64 KiB printed in DFU_Download, then a crash", Library::Printing, L"download", L"", 4,
                "transfer-crashed", kCrashedIn + "DFU_Download (исключение C0000005)" + kLoaderModeLeft,
                {"ISP=1"}),
        {.name = "done, 5 MiB",
         .library = Library::Simulated,
         .fail = L"none",
         .options = {L"--yes", L"--quiet"},
         .image = "big",
         .code = 0,
         .outcome = "done",
         .onError = false,
         .line = kDoneLine,
         .calls = {"ISP=1", "Download=1", "AP=1"}},
        {.name = "a library that prints, JSON Lines",
         .library = Library::Printing,
         .fail = L"none",
         .options = {L"--yes", L"--json"},
         .image = "hex",
         .code = 0,
         .outcome = "done",
         .onError = false,
         .line = kDoneLine,
         .calls = {"ISP=1", "Download=1", "AP=1"},
         .dllMain = "attach\ndetach\n"},
    };
    InputFromNul input;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        DeleteFileW(simLog_.c_str());
        DeleteFileW(received_.c_str());
        const bool hex = row.image == "hex";
        const std::string bytes = hex ? kHexImage : row.image == "bin" ? bin : row.image == "big" ? big : "";
        const std::wstring image =
            temp_.Write(hex ? L"образ прошивки.hex" : L"образ прошивки.bin", hex ? kHexTwoRecords : bytes);

        // A folder of fwimage.exe's own, with a hostile DFU.dll or none.
        const wchar_t* const hostile[] = {
            L"",      L"",       L"",       L"hang",     L"null",       L"raise",       L"damaged",
            L"needs", L"thread", L"filter", L"fastfail", L"exitthread", L"exitprocess", L"slow",
            L"print", L"dllmain"};
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
        const std::wstring mark = temp_.Path(L"dllmain.txt");
        DeleteFileW(mark.c_str());
        launch.env.push_back({L"FWL_DLLMAIN_MARK", mark});
        launch.env.insert(launch.env.end(), row.env.begin(), row.env.end());
        if (row.outputLost) launch.outFile = L"Z:\\dev\\full";
        if (row.log == Log::Full) launch.args[launch.args.size() - 2] = L"Z:\\dev\\full";
        if (row.log == Log::Image) launch.args[launch.args.size() - 2] = image;
        Program program(exe, launch);
        EXPECT_EQ(row.code, program.ExitCode(kMs));
        const std::string out = row.outputLost ? "" : Out(), err = Err();
        const std::string& outcomeStream = row.onError ? err : out;
        const bool json = std::find(row.options.begin(), row.options.end(), L"--json") != row.options.end();
        if (row.outputLost) {
            // Told on the error output only: the exit code and the record stay the outcome's.
            EXPECT_EQ("Cannot write to the standard output.\n", err);
        } else {
            if (row.log != Log::Writable) {
                EXPECT_EQ(0u, LastLine(err).find("Cannot write the log file \"")) << err;
            } else if (kLibraryError.contains(row.library)) {
                EXPECT_NE(std::string::npos, LastLine(err).find(kLibraryError.at(row.library))) << err;
            } else if (row.onError || !json) {  // JSON's own line: its ended event, below
                const std::string last = LastLine(outcomeStream);
                EXPECT_EQ(row.line, row.line.find("########") != row.line.npos ? CodeMasked(last) : last)
                    << outcomeStream;
            }
            EXPECT_EQ(row.onError ? 1u : 0u, OwnLines(err).size())
                << "only the outcome on the error output: " << err;
            if (row.library == Library::Printing) {
                EXPECT_NE(std::string::npos, err.find("\nDFU.dll: hostile: in download\n")) << err;
            }
            if (row.log != Log::Writable && json) {
                // The error names the log beside the image.
                const std::string logArg = Narrow(launch.args[launch.args.size() - 2]);
                ExpectEvents({{{"event", "error"},
                               {"path", Narrow(image)},
                               {"log", {{"path", logArg}, {"full_path", logArg}}}},
                              {{"event", "ended"}, {"exit_code", row.code}}},
                             out);
            } else if (row.log != Log::Writable) {
                EXPECT_EQ("", out);
            }
            else if (std::find(row.options.begin(), row.options.end(), L"--quiet") != row.options.end())
                EXPECT_EQ(row.line + "\n", out);
            else if (json)
                ExpectEvents({{{"event", "image"},
                               {"path", Narrow(image)},
                               {"full_path", Narrow(image)},
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
            ExpectRecord(image, bytes, row.outcome, row.code, !own && !row.calls.empty());
        else
            EXPECT_EQ(kEarlierRecord, ReadBytes(log_));
        EXPECT_TRUE(ReadBytes(image) == (hex ? kHexTwoRecords : bytes)) << "the image changed";
        if (!row.dllMain.empty()) {
            EXPECT_EQ(row.dllMain, ReadBytes(mark));
        }
    }
}

// Written into a file, the progress is one line per change between searching
// and loading and one per 10 % from the first reading after DFU_Reset_To_ISP
// has returned, and the finished state once delivered. A new log gets a
// byte-order mark, a header row and CR LF.
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
    for (uint32_t reading : {255u, 5u, 9u, 12u, 19u, 255u, 91u}) {
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
        EXPECT_TRUE(Err().starts_with(hint + encoded(missing + L": Cannot open file \"" + missing + L"\". ")))
            << Err();
        EXPECT_TRUE(Err().ends_with(encoded(L"." + end))) << Err();
        // JSON stays UTF-8 in any code page.
        Program json(Fwimage(),
                     {.args = {L"info", L"--json", image, missing}, .outFile = temp_.Path(L"out.txt")});
        EXPECT_EQ(1u, json.ExitCode(kMs));
        const std::vector<std::string> lines = Split(Out(), '\n');
        testsupport::KeepJsonLines(Out());
        ASSERT_EQ(2u, lines.size()) << Out();
        EXPECT_EQ("образ.bin", nlohmann::json::parse(lines[0]).value("name", "")) << Out();
        // The failure in the one error shape, info's and download's alike, with the system's own code.
        const nlohmann::json failed = nlohmann::json::parse(lines[1]);
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, failed["error"].value("os_code", 0)) << Out();
        Program download(Fwimage(),
                         {.args = {L"download", L"--json", L"--log", temp_.Path(L"j.tsv"), missing}, .outFile = temp_.Path(L"out.txt")});
        EXPECT_EQ(1u, download.ExitCode(kMs));
        ExpectEvents({{{"event", "error"},
                       {"path", Narrow(missing)},
                       {"log", nullptr},
                       {"error", {{"text", failed["error"]["text"]}, {"os_code", ERROR_FILE_NOT_FOUND}}}},
                      {{"event", "ended"}, {"outcome", nullptr}, {"exit_code", 1}}},
                     Out());
    }
}

}  // namespace

// The download's mends as an operator meets them: the image stays as sent,
// one worker at a time, closing waits; endings the worker does not see (the
// session's end, a crash in the library); the pictures for the documentation;
// and one large image through the instrument's default behaviour.
#include "DownloadFixture.h"

using namespace e2e;

namespace {

// ---------------------------------------------------------------------------
// Mends: the image stays as sent, one worker at a time, closing waits

class OpenDuring : public Download, public ::testing::WithParamInterface<Way> {};

TEST_P(OpenDuring, DownloadKeepsTheSentImage) {
    const Way way = GetParam();
    Start();
    const std::string a = Pattern(4096, 3), b = Pattern(1000, 4);
    const std::wstring aPath = OpenImage(L"a.bin", a);
    sim_->SetAutoRelease(SimFn::Isp, 1);
    sim_->SetAutoRelease(SimFn::Ap, 1);

    // The image is taken when the operator answers: one opened while the
    // confirmation is up is the one sent.
    HWND confirm = StartAndConfirmBox();
    OpenImage(L"b.bin", b, way);
    EXPECT_EQ(L"Имя: b.bin", NameLine());
    PressDialogButton(confirm, IDYES);
    SimEntry dl = sim_->WaitEntered(SimFn::Download, kMs);
    EXPECT_EQ(b.size(), dl.args[2]);
    EXPECT_EQ(Sum16(b), dl.args[3]);
    EXPECT_TRUE(ReadBytes(Received()) == b);

    // While the instrument reads b: another file, the same file, a converted one.
    OpenImage(L"a.bin", a, way);
    OpenImage(L"b.bin", Pattern(1000, 5), way);  // b's file rewritten and opened again
    OpenImage(L"c.hex", kHexTwoRecords, way);
    EXPECT_EQ(L"Имя: c.hex", NameLine());
    sim_->Release(SimFn::Download, 1);
    EXPECT_EQ(1u, sim_->WaitExited(SimFn::Download, kMs));
    EXPECT_EQ("ok", sim_->CheckAtExit(SimFn::Download)) << "the bytes changed under the transfer";
    PressDialogButton(OutcomeBox(kDoneText, kDoneCaption, BoxIcon::Information), IDOK);

    // The next download sends what is open now.
    sim_->SetAutoRelease(SimFn::Download, 1);
    PressDialogButton(StartAndConfirmBox(), IDYES);
    dl = sim_->WaitEntered(SimFn::Download, kMs);
    EXPECT_EQ(kHexImage.size(), dl.args[2]);
    EXPECT_EQ(Sum16(kHexImage), dl.args[3]);
    PressDialogButton(OutcomeBox(kDoneText, kDoneCaption, BoxIcon::Information), IDOK);
    EXPECT_TRUE(ReadBytes(Received()) == kHexImage);
    EXPECT_EQ("ok", sim_->CheckAtExit(SimFn::Download));
    CloseAndExpectExitZero();
}

INSTANTIATE_TEST_SUITE_P(Ways, OpenDuring, ::testing::Values(Way::Dialog, Way::Drop),
                         [](const auto& info) { return std::string(WayName(info.param)); });

TEST_F(Download, StartAgainDuringADownloadStartsNothing) {
    Start();
    OpenImage(L"fw.bin", kBin16);
    NoteOwnCursor();
    // A second press while the worker runs: no second box, no second ISP.
    // The worker's box that waits for the operator, which the window had
    // come in front of, comes to the front again.
    auto startAgain = [&](const char* when, size_t boxes, uint32_t isps, HWND waiting = nullptr) {
        SCOPED_TRACE(when);
        if (waiting) {
            SetForegroundWindow(main_);
            WaitUntil("the window in front", [&] { return GetForegroundWindow() == main_; });
        }
        Click(Ctl(IDC_STARTBUTTON));
        Settle();
        EXPECT_EQ(boxes, Boxes().size()) << DumpTopLevelWindows();
        EXPECT_EQ(isps, sim_->Entered(SimFn::Isp));
        if (waiting) WaitUntil("the waiting box in front", [&] { return GetForegroundWindow() == waiting; });
    };

    HWND confirm = StartAndConfirmBox();
    startAgain("during the confirmation", 1, 0, confirm);
    PressDialogButton(confirm, IDYES);
    sim_->WaitEntered(SimFn::Isp, kMs);
    sim_->Release(SimFn::Isp, 1);
    sim_->WaitEntered(SimFn::Download, kMs);
    EXPECT_EQ((Display{true, kLoading, 0, true, 50}), Step(50));
    startAgain("during the transfer", 0, 1);
    EXPECT_EQ((Display{true, kLoading, 0, true, 51}), Step(51)) << "the first loop goes on";
    sim_->Release(SimFn::Download, 1);
    sim_->WaitEntered(SimFn::Ap, kMs);
    WaitDisplayGone(51);
    startAgain("while switching back, the display gone", 0, 1);
    sim_->Release(SimFn::Ap, 1);
    HWND done = OutcomeBox(kDoneText, kDoneCaption, BoxIcon::Information);
    startAgain("while the outcome box is up", 1, 1, done);
    EXPECT_EQ(kIdle(51), Now());
    PressDialogButton(done, IDOK);
    WaitOwnCursor();

    // Once the worker has ended, Start works again.
    PressDialogButton(StartAndConfirmBox(), IDNO);
    WaitDisplayGone(51);
    EXPECT_EQ(1u, sim_->Entered(SimFn::Isp));
    CloseAndExpectExitZero();
}

enum class CloseWhen { Transfer, SwitchingBack };

struct CloseCase {
    const char* name;
    CloseWhen when;
};

class CloseDuring : public Download, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseDuring, ProgramWaitsForTheWorker) {
    Start();
    OpenImage(L"fw.bin", kBin16);
    sim_->SetAutoRelease(SimFn::Isp, 1);
    PressDialogButton(StartAndConfirmBox(), IDYES);
    sim_->WaitEntered(SimFn::Download, kMs);
    EXPECT_EQ((Display{true, kLoading, 0, true, 30}), Step(30));

    if (GetParam().when == CloseWhen::Transfer) {
        program_->PostClose();
        Settle();
        // The loop has taken the request and goes on; the window stays.
        EXPECT_EQ((Display{true, kLoading, 0, true, 31}), Step(31));
        EXPECT_TRUE(Visible(main_));
        sim_->Release(SimFn::Download, 1);
        sim_->WaitEntered(SimFn::Ap, kMs);
    } else {
        // Closed from the main loop while the worker is still inside DFU_Reset_To_AP.
        sim_->Release(SimFn::Download, 1);
        sim_->WaitEntered(SimFn::Ap, kMs);
        WaitDisplayGone(30);
        program_->PostClose();
    }
    WaitUntil("the window to go", [&] { return !Visible(main_); });
    // The worker goes on: the instrument is switched back and the outcome seen.
    sim_->Release(SimFn::Ap, 1);
    HWND box = program_->WaitForMessageBox();
    EXPECT_EQ(kDoneText, Narrow(ReadMessageBox(box).text));
    EXPECT_EQ(1u, sim_->Exited(SimFn::Ap));
    EXPECT_TRUE(program_->Running());
    PressDialogButton(box, IDOK);
    EXPECT_EQ(0u, program_->ExitCode());
}

INSTANTIATE_TEST_SUITE_P(Cases, CloseDuring,
                         ::testing::Values(CloseCase{"Transfer", CloseWhen::Transfer},
                                           CloseCase{"SwitchingBack", CloseWhen::SwitchingBack}),
                         [](const auto& info) { return std::string(info.param.name); });

// The window inside a step: fwimage ends busy without loading the library. fwimage inside one:
// the window's Yes shows the busy box, records busy, calls nothing, and works once fwimage ends.
TEST_F(Download, OneDownloadPerComputer) {
    const std::wstring log = temp_.Path(L"журнал.tsv"), simLog = temp_.Path(L"dfu.log");
    const auto last = [](const std::wstring& file) {
        const std::vector<std::string> r = Split(Split(ReadBytes(file), '\n').back(), '\t');
        return r.at(4) + " " + r.at(5);
    };
    Start({L"--log", log});
    const std::wstring image = OpenImage(L"fw.hex", kHexTwoRecords);
    Launch fwimage{.args = {L"download", L"--yes", L"--log", temp_.Path(L"fw.tsv"), image},
                   .env = {{L"FWL_DFU_LOG", simLog}},
                   .errFile = temp_.Path(L"err.txt")};
    sim_->SetAutoRelease(SimFn::Isp, 1);
    PressDialogButton(StartAndConfirmBox(), IDYES);
    sim_->WaitEntered(SimFn::Download, kMs);
    EXPECT_EQ(10u, Program(BinPath(L"fwimage.exe"), fwimage).ExitCode(kMs));
    EXPECT_EQ(0u, ReadBytes(fwimage.errFile).find("Загрузка не начата: на этом компьютере"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(simLog.c_str())) << "the library was loaded";
    EXPECT_EQ("busy 10", last(temp_.Path(L"fw.tsv")));
    sim_->SetAutoRelease(SimFn::Ap, 1);
    sim_->Release(SimFn::Download, 1);
    PressDialogButton(OutcomeBox(kDoneText, kDoneCaption, BoxIcon::Information), IDOK);

    SimControl other(L"dl-busy-" + std::to_wstring(GetCurrentProcessId()));
    fwimage.env = {Program::Assignment(other.EnvAssignment())};
    Program first(BinPath(L"fwimage.exe"), fwimage);
    other.WaitEntered(SimFn::Isp, kMs);
    PressDialogButton(StartAndConfirmBox(), IDYES);
    PressDialogButton(OutcomeBox("Загрузка не начата: на этом компьютере другая программа уже загружает прибор; в "
                                 "прибор ничего не отправлено",
                                 kWarningCaption, BoxIcon::Warning),
                      IDOK);
    EXPECT_EQ("busy 10", last(log));
    other.SetAutoRelease(SimFn::Download, 1);
    other.SetAutoRelease(SimFn::Ap, 1);
    other.Release(SimFn::Isp, 1);
    EXPECT_EQ(0u, first.ExitCode(kMs));
    sim_->SetAutoRelease(SimFn::Download, 1);
    PressDialogButton(StartAndConfirmBox(), IDYES);
    PressDialogButton(OutcomeBox(kDoneText, kDoneCaption, BoxIcon::Information), IDOK);
    EXPECT_EQ(2u, sim_->Entered(SimFn::Isp)) << "no library call while busy";
    CloseAndExpectExitZero();
}

// ---------------------------------------------------------------------------
// Endings the worker does not see: the session's end, a crash in the library

// The session ends all the same during the transfer ("Shut down anyway", a
// forced end): the record is written before the window lets it go, and only
// that one, should the process live on. An end that was called off writes
// nothing and leaves the record armed.
TEST_F(Download, EndOfTheSessionDuringTheTransferIsRecorded) {
    const std::wstring log = temp_.Path(L"журнал.tsv");
    Start({L"--log", log});
    const std::wstring image = OpenImage(L"fw.hex", kHexTwoRecords);
    sim_->SetAutoRelease(SimFn::Isp, 1);
    PressDialogButton(StartAndConfirmBox(), IDYES);
    sim_->WaitEntered(SimFn::Download, kMs);
    const std::string before = ReadBytes(log);
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutW(main_, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF, SMTO_NORMAL, kMs, &answer));
    EXPECT_EQ(before, ReadBytes(log)) << "a record of an end called off";
    ASSERT_TRUE(SendMessageTimeoutW(main_, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, kMs, &answer));
    ExpectRecord(log, image, "closed", "130");
    sim_->SetAutoRelease(SimFn::Ap, 1);
    sim_->Release(SimFn::Download, 1);
    PressDialogButton(OutcomeBox(kDoneText, kDoneCaption, BoxIcon::Information), IDOK);
    ExpectRecord(log, image, "closed", "130");
    CloseAndExpectExitZero();
}

// A crash anywhere in the process while a library call runs leaves that
// call's record before the process ends; one while none runs (a reading
// taken while the operator decides) leaves none. Wine's exit code for a
// crash is not reliable: the log tells.
TEST(LoaderCrash, RecordOfTheCallInProgress) {
    struct Row {
        const wchar_t* step;  // FWL_HOSTILE_STEP
        bool ownThread;       // on a thread of the library's own
        const char* outcome;  // nullptr: no record
        const char* code;
    };
    const Row rows[] = {{L"download", false, "transfer-crashed", "4"},
                        {L"ap", false, "return-crashed", "5"},
                        {L"download", true, "transfer-crashed", "4"},
                        {L"count", false, nullptr, nullptr}};
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.step) + (row.ownThread ? " on the library's thread" : ""));
        TempFolder temp;
        const std::wstring exe = temp.Write(L"loader.exe", ReadBytes(LoaderPath()));
        temp.Write(L"DFU.dll", ReadBytes(BinPath(L"hostile\\null\\DFU.dll")));
        const std::wstring image = temp.Write(L"fw.hex", kHexTwoRecords), log = temp.Path(L"журнал.tsv");
        Env env = {{L"FWL_HOSTILE_STEP", row.step}};
        if (row.ownThread) env.push_back({L"FWL_HOSTILE_THREAD", L"1"});
        Program program(exe, {.args = {L"--log", log, image}, .env = env});
        program.WaitForWindow(kTitle, kStartMs);
        WaitUntil("the image opened", [&] { return ListLines(program.Control(IDC_FILELIST)).size() == 3; });
        Click(program.Control(IDC_STARTBUTTON));
        if (row.outcome) PressDialogButton(program.WaitForMessageBox(), IDYES);
        ASSERT_TRUE(program.WaitForExit(kMs)) << DumpTopLevelWindows();
        const std::vector<std::string> lines = Split(ReadBytes(log), '\n');
        ASSERT_EQ(row.outcome ? 2u : 1u, lines.size()) << ReadBytes(log);
        if (!row.outcome) continue;
        const std::vector<std::string> r = Split(lines[1], '\t');
        ASSERT_EQ(13u, r.size()) << lines[1];
        EXPECT_EQ((std::vector<std::string>{Narrow(image), "0014", "0F0C", row.outcome, row.code,
                                            kHexTwoRecordsSha256, "", "", StationAndOperator() + "\r"}),
                  (std::vector<std::string>{r[1], r[2], r[3], r[4], r[5], r[6], r[9], r[10], r[11] + "\t" + r[12]}));
        EXPECT_TRUE(r[8].starts_with("loader ") && !r[8].ends_with(" (имитация)")) << "hostile: " << r[8];
    }
}

// ---------------------------------------------------------------------------
// Pictures of the download for the documentation

TEST_F(Download, Screenshots) {
    Start();
    OpenImage(L"firmware.hex", kHexTwoRecords);
    sim_->SetAutoRelease(SimFn::Isp, 1);
    PressDialogButton(StartAndConfirmBox(), IDYES);
    sim_->WaitEntered(SimFn::Download, kMs);
    Step(255);
    Screenshot(L"download-searching", main_);
    Step(42);
    Screenshot(L"download-loading", main_);
    sim_->SetAutoRelease(SimFn::Ap, 1);
    sim_->Release(SimFn::Download, 1);
    HWND box = OutcomeBox(kDoneText, kDoneCaption, BoxIcon::Information);
    WaitDisplayGone(42);
    // The box stands in the middle of the screen, inside the window's rectangle.
    Screenshot(L"download-done", main_);
    PressDialogButton(box, IDOK);
    CloseAndExpectExitZero();
}

// ---------------------------------------------------------------------------
// A large image through the instrument's default behaviour

class LargeImage : public LoaderTest {};

TEST_F(LargeImage, SixteenMebibytesArriveIntact) {
    const std::string image = Pattern(16u << 20, 7);
    const std::wstring path = temp_.Write(L"large.bin", image);
    const std::wstring received = temp_.Path(L"received.bin"), log = temp_.Path(L"dfu.log");
    Start({.env = {{L"FWL_DFU_RATE", L"0"},
                   {L"FWL_DFU_SEARCH_MS", L"50"},
                   {L"FWL_DFU_BYTES", received},
                   {L"FWL_DFU_LOG", log}}});
    Open(path);
    WaitUntil("the large image's summary", [&] {
        auto lines = Lines();
        return lines.size() == 3 && lines[1] == L"Размер: 1000000";
    });
    Click(Ctl(IDC_STARTBUTTON));
    HWND confirm = program_->WaitForMessageBox();
    PressDialogButton(confirm, IDYES);
    HWND box = program_->WaitForMessageBox(60000);
    EXPECT_EQ(kDoneText, Narrow(ReadMessageBox(box).text));
    PressDialogButton(box, IDOK);
    program_->PostClose();
    EXPECT_EQ(0u, program_->ExitCode());

    EXPECT_TRUE(ReadBytes(received) == image) << "the instrument received other bytes";
    // The library's own account: the whole image with its sum, every call judged sound.
    const std::string logText = ReadBytes(log);
    const std::string call = ", 0, 16777216, " + std::to_string(Sum16(image)) + ") = 1 ";
    EXPECT_NE(std::string::npos, logText.find(call)) << logText;
    EXPECT_NE(std::string::npos, logText.find("DFU_Reset_To_AP() = 1 ")) << logText;
    size_t calls = 0;
    for (size_t at = logText.find(" check="); at != std::string::npos; at = logText.find(" check=", at + 1)) {
        ++calls;
        EXPECT_EQ(" check=ok", logText.substr(at, 9)) << logText;
    }
    EXPECT_EQ(3u, calls) << logText;
}

}  // namespace

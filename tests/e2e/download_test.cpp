// The download as an operator runs it: Start, the confirmation, the progress
// display, the outcome box, against the scripted instrument (each reading and
// each result of the device library stepped by the test): the outcomes, and the
// progress display over three downloads.
#include "DownloadFixture.h"

using namespace e2e;

namespace {

// ---------------------------------------------------------------------------
// The outcomes of one download

// --log: none, one that takes the records, one in a folder that does not
// exist, the image itself (a shortcut's log forgotten and a .bin dropped on it).
enum LogCase { NoLog, Logged, LogLost, LogIsImage };

struct OutcomeCase {
    const char* name;
    const wchar_t* file;
    std::string bytes;           // the file's contents
    std::string image;           // what the instrument must receive
    int answer;                  // IDYES or IDNO
    uint32_t isp, download, ap;  // results the library gives
    const std::string* text;     // outcome box; nullptr: none
    const std::string* caption;
    BoxIcon icon;
    LogCase log = NoLog;
};

class Outcome : public Download, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(Outcome, CallsBoxesDisplayAndCursor) {
    const OutcomeCase& c = GetParam();
    const std::wstring log = temp_.Path(c.log == LogLost      ? L"нет папки\\журнал.tsv"
                                        : c.log == LogIsImage ? c.file
                                                              : L"журнал.tsv");
    const bool lost = c.log == LogLost || c.log == LogIsImage;
    Start(c.log == NoLog ? std::vector<std::wstring>{} : std::vector<std::wstring>{L"--log", log});
    if (lost) ExpectLostRecordBox(log);
    const std::wstring image = OpenImage(c.file, c.bytes);
    NoteOwnCursor();

    HWND confirm = StartAndConfirmBox();
    // The loop polls while the operator decides.
    EXPECT_EQ((Display{true, kSearching, 3, false, 0}), Step(255));
    EXPECT_EQ(ownCursor_, CursorOver(Ctl(IDC_FILELIST))) << "no hourglass before Yes";
    PressDialogButton(confirm, c.answer);

    if (c.answer != IDYES) {
        WaitDisplayGone(0);
        Settle();
        EXPECT_TRUE(program_->NoDialogs()) << DumpTopLevelWindows();
        EXPECT_EQ(0u, sim_->Entered(SimFn::Isp) + sim_->Entered(SimFn::Download) + sim_->Entered(SimFn::Ap));
        EXPECT_EQ(ownCursor_, CursorOver(Ctl(IDC_FILELIST)));
        if (c.log == Logged) ExpectRecord(log, image, "declined", "2");
        CloseAndExpectExitZero();
        return;
    }

    const SimEntry isp = sim_->WaitEntered(SimFn::Isp, kMs);
    EXPECT_EQ(3690u, isp.args[0]);
    EXPECT_EQ(791u, isp.args[1]);
    EXPECT_NE(windowThread_, isp.threadId) << "the worker calls the library on its own thread";
    EXPECT_EQ(FALSE, EndSessionAnswer(0)) << "no shutdown while the instrument switches to its loader";
    ExpectHourglass();
    sim_->WaitPolls(2, kMs);
    EXPECT_EQ(std::vector<uint32_t>{windowThread_}, sim_->PollersDuring(SimFn::Isp));
    sim_->Release(SimFn::Isp, c.isp);

    if (c.isp == 0) {
        HWND box = OutcomeBox(*c.text, *c.caption, c.icon);
        // The transfer never ran, so the display follows the readings until the box is closed.
        EXPECT_EQ((Display{true, kSearching, 3, false, 0}), Step(255));
        EXPECT_EQ((Display{true, kLoading, 0, true, 42}), Step(42));
        ExpectHourglass();
        PressDialogButton(box, IDOK);
        WaitDisplayGone(42);
        WaitOwnCursor();
        EXPECT_EQ(0u, sim_->Entered(SimFn::Download) + sim_->Entered(SimFn::Ap));
        CloseAndExpectExitZero();
        return;
    }

    const SimEntry dl = sim_->WaitEntered(SimFn::Download, kMs);
    EXPECT_EQ(isp.threadId, dl.threadId);
    EXPECT_EQ(0u, dl.args[1]);
    EXPECT_EQ(c.image.size(), dl.args[2]);
    EXPECT_EQ(Sum16(c.image), dl.args[3]);
    EXPECT_EQ("ok", sim_->Check(SimFn::Download));
    EXPECT_EQ(c.image.size(), sim_->ReceivedCount());
    EXPECT_EQ(Sum16(c.image), sim_->ReceivedSum());
    EXPECT_TRUE(ReadBytes(Received()) == c.image) << "the instrument received other bytes";
    EXPECT_EQ(FALSE, EndSessionAnswer()) << "no log-off during the transfer";
    EXPECT_EQ((Display{true, kSearching, 3, false, 0}), Step(255));
    EXPECT_EQ((Display{true, kLoading, 0, true, 37}), Step(37));
    EXPECT_EQ(std::vector<uint32_t>{windowThread_}, sim_->PollersDuring(SimFn::Download))
        << "the window's thread polls while the worker is inside DFU_Download";
    sim_->Release(SimFn::Download, c.download);

    HWND box = nullptr;
    if (c.download == 0) {
        box = OutcomeBox(*c.text, *c.caption, c.icon);
        // DownloadBusy fell when the transfer returned, before this box.
        WaitDisplayGone(37);
    } else {
        const SimEntry ap = sim_->WaitEntered(SimFn::Ap, kMs);
        EXPECT_EQ(isp.threadId, ap.threadId);
        EXPECT_EQ(0u, ap.args[0]);
        // The display goes while the worker is still switching back.
        WaitDisplayGone(37);
        EXPECT_TRUE(sim_->Inside(SimFn::Ap));
        EXPECT_EQ(FALSE, EndSessionAnswer());
        sim_->Release(SimFn::Ap, c.ap);
        box = OutcomeBox(*c.text, *c.caption, c.icon);
        EXPECT_EQ(kIdle(37), Now());
    }
    ExpectHourglass();
    PressDialogButton(box, IDOK);
    WaitOwnCursor();
    if (lost) ExpectLostRecordBox(log);
    if (c.log == Logged) ExpectRecord(log, image, "done", "0");
    EXPECT_TRUE(ReadBytes(image) == c.bytes) << "the image changed";
    EXPECT_EQ(c.download ? 1u : 0u, sim_->Entered(SimFn::Ap));
    EXPECT_EQ(1u, sim_->Entered(SimFn::Isp));
    EXPECT_EQ(1u, sim_->Entered(SimFn::Download));
    EXPECT_EQ("ok", sim_->CheckAtExit(SimFn::Download));
    CloseAndExpectExitZero();
}

const std::string kLock300 = Pattern(300, 2);

INSTANTIATE_TEST_SUITE_P(
    Table, Outcome,
    ::testing::Values(OutcomeCase{"AnsweredNo", L"fw.bin", kBin16, kBin16, IDNO, 0, 0, 0, nullptr, nullptr,
                                  BoxIcon::None},
                      OutcomeCase{"LoaderModeRefused", L"fw.bin", kBin16, kBin16, IDYES, 0, 0, 0,
                                  &kIspFailedText, &kWarningCaption, BoxIcon::Warning},
                      OutcomeCase{"TransferFailed", L"fw.lock", kLock300, kLock300, IDYES, 1, 0, 0,
                                  &kDownloadFailedText, &kWarningCaption, BoxIcon::Warning},
                      OutcomeCase{"ReturnFailed", L"fw.bin", kBin16, kBin16, IDYES, 1, 1, 0, &kApFailedText,
                                  &kWarningCaption, BoxIcon::Warning},
                      OutcomeCase{"SuccessHex", L"fw.hex", kHexTwoRecords, kHexImage, IDYES, 1, 1, 1,
                                  &kDoneText, &kDoneCaption, BoxIcon::Information},
                      OutcomeCase{"SuccessEmptyImage", L"empty.bin", "", "", IDYES, 1, 1, 1, &kDoneText,
                                  &kDoneCaption, BoxIcon::Information},
                      // Any nonzero result is success.
                      OutcomeCase{"SuccessLargeResults", L"fw.bin", kBin16, kBin16, IDYES, 0x80000000u,
                                  0xFFFFFFFFu, 256, &kDoneText, &kDoneCaption, BoxIcon::Information},
                      // --log: a record for each download, one declined too; one not written is told.
                      OutcomeCase{"NoLogged", L"fw.hex", kHexTwoRecords, kHexImage, IDNO, 0, 0, 0, nullptr,
                                  nullptr, BoxIcon::None, Logged},
                      OutcomeCase{"DoneLogged", L"fw.hex", kHexTwoRecords, kHexImage, IDYES, 1, 1, 1,
                                  &kDoneText, &kDoneCaption, BoxIcon::Information, Logged},
                      OutcomeCase{"LogLost", L"fw.hex", kHexTwoRecords, kHexImage, IDYES, 1, 1, 0,
                                  &kApFailedText, &kWarningCaption, BoxIcon::Warning, LogLost},
                      OutcomeCase{"LogIsTheImage", L"fw.bin", kBin16, kBin16, IDYES, 1, 1, 1, &kDoneText,
                                  &kDoneCaption, BoxIcon::Information, LogIsImage}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The progress display over three downloads of one program

TEST_F(Download, ProgressDisplayFollowsReadings) {
    Start();
    OpenImage(L"fw.bin", kBin16);
    sim_->SetAutoRelease(SimFn::Isp, 1);

    // First download after start-up: the bar holds 0, readings of 0 change nothing.
    sim_->SetReading(0);
    PressDialogButton(StartAndConfirmBox(), IDYES);
    sim_->WaitEntered(SimFn::Download, kMs);
    struct Row {
        uint32_t reading;
        Display want;
    };
    const Row first[] = {
        {0, kIdle(0)},
        // Never a search reading yet: the pane takes the loading look unseen.
        {37, {false, kLoading, 0, true, 37}},
        {37, {false, kLoading, 0, true, 37}},
        {150, {false, kLoading, 0, true, 150}},
        {255, {true, kSearching, 3, true, 150}},
        {42, {true, kLoading, 0, true, 42}},
        {65541, {true, kLoading, 0, true, 5}},  // the bar keeps the low 16 bits
        {255, {true, kSearching, 3, true, 5}},
        {60, {true, kLoading, 0, true, 60}},
    };
    for (const Row& r : first) EXPECT_EQ(r.want, Step(r.reading)) << "reading " << r.reading;
    sim_->Release(SimFn::Download, 1);
    sim_->WaitEntered(SimFn::Ap, kMs);
    WaitDisplayGone(60);
    sim_->Release(SimFn::Ap, 1);
    PressDialogButton(OutcomeBox(kDoneText, kDoneCaption, BoxIcon::Information), IDOK);

    // A later download: the bar still holds 60; a first reading of 60 changes
    // nothing, another shows the bar at once, also while the box is up.
    sim_->SetReading(60);
    HWND confirm = StartAndConfirmBox();
    EXPECT_EQ(kIdle(60), Step(60));
    EXPECT_EQ((Display{false, kLoading, 0, true, 61}), Step(61));
    EXPECT_EQ((Display{true, kSearching, 3, true, 61}), Step(255));
    PressDialogButton(confirm, IDNO);
    WaitDisplayGone(61);

    // Searching throughout: the pane searches until the end, the bar stays hidden.
    sim_->SetReading(255);
    sim_->SetAutoRelease(SimFn::Ap, 1);
    confirm = StartAndConfirmBox();
    EXPECT_EQ((Display{true, kSearching, 3, false, 61}), Step(255));
    PressDialogButton(confirm, IDYES);
    sim_->WaitEntered(SimFn::Download, kMs);
    EXPECT_EQ((Display{true, kSearching, 3, false, 61}), Step(255));
    sim_->Release(SimFn::Download, 1);
    HWND done = OutcomeBox(kDoneText, kDoneCaption, BoxIcon::Information);
    WaitDisplayGone(61);
    PressDialogButton(done, IDOK);
    EXPECT_EQ(2u, sim_->Entered(SimFn::Isp)) << "two confirmed downloads";
    CloseAndExpectExitZero();
}

}  // namespace

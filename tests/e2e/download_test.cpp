// The download as an operator runs it: Start, the confirmation, the progress
// display, the outcome box, against the scripted instrument (each reading and
// each result of the device library stepped by the test), and one large image
// through the instrument's default behaviour.
#include "window/ControlIds.h"
#include "Fixture.h"
#include "SimControl.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

using namespace e2e;

namespace {

constexpr DWORD kMs = kWaitMs;

const std::string kConfirmText = " Загрузить программу ? ";
const std::string kConfirmCaption = " Подтверждение файла";
const std::string kWarningCaption = "Предупреждение";
const std::string kIspFailedText = "Ошибка перехода в режим загрузки  ";
const std::string kDownloadFailedText = "Ошибка загрузки ";
const std::string kApFailedText = "Ошибка выхода из режима загрузки  ";
const std::string kDoneText = "Загрузка завершена  ";
const std::string kDoneCaption = "Поздравление";
const std::string kSearching = "Поиск устройства ...";
const std::string kLoading = "Загрузка ...";

uint32_t Sum16(const std::string& bytes) {
    uint32_t sum = 0;
    for (char c : bytes) sum += static_cast<unsigned char>(c);
    return sum & 0xFFFF;
}

// Bytes that differ from their neighbours, so that a shifted or partial
// transfer shows.
std::string Pattern(size_t count, uint32_t seed) {
    std::string bytes(count, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<char>(x >> 24);
    }
    return bytes;
}

// What the progress display shows.
struct Display {
    bool paneVisible;
    std::string caption;
    int icon;
    bool barVisible;
    int percent;
    bool operator==(const Display&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Display& d) {
    return out << "{pane " << (d.paneVisible ? "shown" : "hidden") << " \"" << d.caption << "\" icon "
               << d.icon << ", bar " << (d.barVisible ? "shown" : "hidden") << " " << d.percent << "}";
}

Display kIdle(int percent) {
    return {false, "", -1, false, percent};
}

// One loader started on a scripted instrument of its own.
class Download : public LoaderTest {
protected:
    void SetUp() override {
        static int counter = 0;
        sim_ = std::make_unique<SimControl>(L"dl-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                            std::to_wstring(++counter));
        sim_->SetBytesFile(Received());
    }

    void TearDown() override {
        program_.reset();
        if (sim_) {
            EXPECT_EQ(0u, sim_->Timeouts()) << "a library call was left waiting: " << sim_->Describe();
            EXPECT_LE(sim_->MaxInside(), 1u) << "two device calls at once: two workers";
        }
    }

    void Start(const std::vector<std::wstring>& args = {}) {
        LoaderTest::Start({.args = args, .env = {Program::Assignment(sim_->EnvAssignment())}});
    }

    std::wstring Received() const { return temp_.Path(L"received.bin"); }

    std::wstring OpenImage(const std::wstring& name, const std::string& bytes, Way way = Way::Dialog) {
        std::wstring path = temp_.Write(name, bytes);
        OpenBy(way, path);
        return path;
    }
    std::wstring NameLine() const {
        auto lines = Lines();
        return lines.empty() ? L"" : lines.front();
    }

    Display Now() const {
        HWND pane = Ctl(IDC_STATUSPANE), bar = Ctl(IDC_PROGRESSBAR);
        return {Visible(pane), Narrow(Text(pane)), ImageIndex(pane), Visible(bar), ProgressPos(bar)};
    }
    // Sets the reading and returns the display once the program's pass on it is over.
    Display Step(uint32_t reading) {
        sim_->SetReading(reading);
        sim_->WaitPolls(2, kMs);
        return Now();
    }
    // The polling loop has returned: both elements hidden, the pane emptied.
    void WaitDisplayGone(int percent) {
        WaitUntil("the progress display to go", [&] { return Now() == kIdle(percent); });
    }

    std::vector<HWND> Boxes() const { return Dialogs(program_->Pid(), 0xFFFF); }

    // The worker's last steps run after its outcome box has gone (or after
    // No), and a Start pressed before its thread ends starts nothing: waits
    // for the thread of the last confirmation box to end.
    void WaitLastWorkerEnded() {
        if (!lastWorker_) return;
        const DWORD waited = WaitForSingleObject(lastWorker_.get(), kMs);
        if (waited != WAIT_OBJECT_0)
            throw std::runtime_error("the worker thread did not end\n" + DumpTopLevelWindows());
        lastWorker_.reset();
    }

    // Presses Start and checks the confirmation box, which leaves the window working.
    HWND StartAndConfirmBox() {
        WaitLastWorkerEnded();
        Click(Ctl(IDC_STARTBUTTON));
        HWND box = program_->WaitForMessageBox();
        // Held while the box is up, so the handle is the worker's own.
        lastWorker_.reset(OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE,
                                     GetWindowThreadProcessId(box, nullptr)));
        EXPECT_EQ(THREAD_PRIORITY_ABOVE_NORMAL, GetThreadPriority(lastWorker_.get()))
            << "the worker's thread runs above normal priority";
        const MessageBoxInfo info = ReadMessageBox(box);
        EXPECT_EQ(kConfirmText, Narrow(info.text));
        EXPECT_EQ(TRUE, EndSessionAnswer()) << "nothing runs while the operator decides";
        EXPECT_EQ(kConfirmCaption, Narrow(info.caption));
        EXPECT_EQ((std::vector<int>{IDYES, IDNO}), info.buttons);
        EXPECT_STREQ("warning", IconName(info.icon));
        EXPECT_EQ(BS_DEFPUSHBUTTON, GetWindowLongW(GetDlgItem(box, IDYES), GWL_STYLE) & BS_TYPEMASK)
            << "Yes is the default button";
        EXPECT_NE(windowThread_, GetWindowThreadProcessId(box, nullptr)) << "the worker's box";
        EXPECT_TRUE(Enabled(main_)) << "the box has no owner: the window stays usable";
        return box;
    }

    // Waits for the one outcome box, checks it and leaves it open.
    HWND OutcomeBox(const std::string& text, const std::string& caption, BoxIcon icon) {
        HWND box = program_->WaitForMessageBox();
        const MessageBoxInfo info = ReadMessageBox(box);
        EXPECT_EQ(text, Narrow(info.text));
        EXPECT_EQ(caption, Narrow(info.caption));
        EXPECT_EQ(std::vector<int>{IDOK}, info.buttons);
        EXPECT_STREQ(IconName(icon), IconName(info.icon));
        EXPECT_EQ(1u, Boxes().size()) << DumpTopLevelWindows();
        EXPECT_TRUE(Enabled(main_));
        return box;
    }

    // The cursor that the window's thread chooses over control when the
    // pointer moves there. The cursor belongs to the thread's input, so this
    // thread shares it for a moment to read it.
    HCURSOR CursorOver(HWND control) {
        const DWORD me = GetCurrentThreadId();
        if (!AttachThreadInput(me, windowThread_, TRUE))
            throw std::runtime_error("AttachThreadInput failed: " + std::to_string(GetLastError()));
        Send(control, WM_SETCURSOR, reinterpret_cast<WPARAM>(control), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        HCURSOR cursor = GetCursor();
        AttachThreadInput(me, windowThread_, FALSE);
        return cursor;
    }
    // The list's own cursor (its class cursor) while no hourglass is set.
    void NoteOwnCursor() {
        ownCursor_ = CursorOver(Ctl(IDC_FILELIST));
        ASSERT_NE(nullptr, ownCursor_);
    }
    // The hourglass shows over the whole window, the list included.
    void ExpectHourglass() {
        HCURSOR overList = CursorOver(Ctl(IDC_FILELIST));
        EXPECT_NE(nullptr, overList);
        EXPECT_NE(ownCursor_, overList) << "the hourglass over the list";
        EXPECT_EQ(overList, CursorOver(main_));
        EXPECT_EQ(overList, CursorOver(Ctl(IDC_STARTBUTTON)));
    }
    void WaitOwnCursor() {
        WaitUntil("the default cursor back", [&] { return CursorOver(Ctl(IDC_FILELIST)) == ownCursor_; });
    }

    // The box that says the log was not written (at start, or after the
    // outcome's box), naming it; pressed away.
    void ExpectLostRecordBox(const std::wstring& log) {
        HWND box = program_->WaitForMessageBox();
        const MessageBoxInfo info = ReadMessageBox(box);
        const std::string text = Narrow(info.text);
        EXPECT_EQ(0u, text.find("Ошибка записи в журнал загрузок\n")) << text;
        EXPECT_NE(std::string::npos, text.find(Narrow(log))) << text;
        EXPECT_EQ(kWarningCaption, Narrow(info.caption));
        PressDialogButton(box, IDOK);
    }

    // The log, new, holds one record, of image, with a column for each of the header's.
    void ExpectRecord(const std::wstring& log, const std::wstring& image, const std::string& outcome,
                      const std::string& code) {
        const std::vector<std::string> lines = Split(ReadBytes(log), '\n');
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ("\xEF\xBB\xBF" + kLogHeader + "\r", lines[0]);
        const std::vector<std::string> r = Split(lines[1], '\t');
        ASSERT_EQ((std::vector<std::string>{Narrow(image), outcome, code, kHexTwoRecordsSha256, "\r"}),
                  (std::vector<std::string>{r.at(1), r.at(4), r.at(5), r.at(6), r.at(9)}));
        EXPECT_TRUE(r[8].starts_with("loader ") && r[8].ends_with(" (имитация)")) << r[8];
    }

    LRESULT EndSessionAnswer(LPARAM how = ENDSESSION_LOGOFF) const {
        DWORD_PTR answer = 0;
        EXPECT_TRUE(SendMessageTimeoutW(main_, WM_QUERYENDSESSION, 0, how, SMTO_ABORTIFHUNG, kMs, &answer));
        return static_cast<LRESULT>(answer);
    }

    void CloseAndExpectExitZero() {
        Settle();
        EXPECT_EQ(TRUE, EndSessionAnswer()) << "no library call runs: the session may end";
        EXPECT_TRUE(program_->NoDialogs()) << DumpTopLevelWindows();
        program_->PostClose();
        EXPECT_EQ(0u, program_->ExitCode());
    }

    std::unique_ptr<SimControl> sim_;
    HCURSOR ownCursor_ = nullptr;
    struct HandleCloser {
        void operator()(HANDLE h) const { CloseHandle(h); }
    };
    std::unique_ptr<void, HandleCloser> lastWorker_;  // thread of the last confirmation box
};

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

const std::string kBin16 = Pattern(16, 1);
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

// ---------------------------------------------------------------------------
// Endings the worker does not see: the session's end, a crash in the library

// The session ends all the same during the transfer ("Shut down anyway", a
// forced end): the record is written before the window lets it go, and only
// that one, should the process live on.
TEST_F(Download, EndOfTheSessionDuringTheTransferIsRecorded) {
    const std::wstring log = temp_.Path(L"журнал.tsv");
    Start({L"--log", log});
    const std::wstring image = OpenImage(L"fw.hex", kHexTwoRecords);
    sim_->SetAutoRelease(SimFn::Isp, 1);
    PressDialogButton(StartAndConfirmBox(), IDYES);
    sim_->WaitEntered(SimFn::Download, kMs);
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutW(main_, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, kMs, &answer));
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
        ASSERT_EQ(10u, r.size()) << lines[1];
        EXPECT_EQ((std::vector<std::string>{Narrow(image), "0014", "0F0C", row.outcome, row.code,
                                            kHexTwoRecordsSha256, "\r"}),
                  (std::vector<std::string>{r[1], r[2], r[3], r[4], r[5], r[6], r[9]}));
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

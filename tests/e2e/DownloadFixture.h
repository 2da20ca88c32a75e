// The window's download as an operator runs it, against a scripted
// instrument of the test's own: the fixture and the texts its tests share.
#pragma once

#include "window/ControlIds.h"
#include "Fixture.h"
#include "SimControl.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace e2e {

inline constexpr DWORD kMs = kWaitMs;

inline const std::string kConfirmText = " Загрузить программу ? ";
inline const std::string kConfirmCaption = " Подтверждение файла";
inline const std::string kWarningCaption = "Предупреждение";
inline const std::string kIspFailedText = "Ошибка перехода в режим загрузки  ";
inline const std::string kDownloadFailedText = "Ошибка загрузки ";
inline const std::string kApFailedText = "Ошибка выхода из режима загрузки  ";
inline const std::string kDoneText = "Загрузка завершена  ";
inline const std::string kDoneCaption = "Поздравление";
inline const std::string kSearching = "Поиск устройства ...";
inline const std::string kLoading = "Загрузка ...";

inline uint32_t Sum16(const std::string& bytes) {
    uint32_t sum = 0;
    for (char c : bytes) sum += static_cast<unsigned char>(c);
    return sum & 0xFFFF;
}

// Bytes that differ from their neighbours, so that a shifted or partial
// transfer shows.
inline std::string Pattern(size_t count, uint32_t seed) {
    std::string bytes(count, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<char>(x >> 24);
    }
    return bytes;
}

// A small image that the download tests of both files send.
inline const std::string kBin16 = Pattern(16, 1);

// What the progress display shows.
struct Display {
    bool paneVisible;
    std::string caption;
    int icon;
    bool barVisible;
    int percent;
    bool operator==(const Display&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Display& d) {
    return out << "{pane " << (d.paneVisible ? "shown" : "hidden") << " \"" << d.caption << "\" icon "
               << d.icon << ", bar " << (d.barVisible ? "shown" : "hidden") << " " << d.percent << "}";
}

inline Display kIdle(int percent) {
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
        ASSERT_EQ((std::vector<std::string>{Narrow(image), outcome, code, kHexTwoRecordsSha256, "", "",
                                            StationAndOperator() + "\r"}),
                  (std::vector<std::string>{r.at(1), r.at(4), r.at(5), r.at(6), r.at(9), r.at(10),
                                            r.at(11) + "\t" + r.at(12)}));
        EXPECT_TRUE(r[8].starts_with("loader ") && r[8].ends_with(" (имитация)")) << r[8];
    }

    LRESULT EndSessionAnswer(LPARAM how = ENDSESSION_LOGOFF) const {
        DWORD_PTR answer = 0;
        EXPECT_TRUE(SendMessageTimeoutW(main_, WM_QUERYENDSESSION, 0, how, SMTO_NORMAL, kMs, &answer));
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

}  // namespace e2e

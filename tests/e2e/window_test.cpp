// The loader's window driven as an operator would: its first look, opening
// images through the dialog, a drop and the command line, failures shown in
// boxes, a missing device library, closing.
#include "window/ControlIds.h"
#include "Drag.h"
#include "Fixture.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

using namespace e2e;

namespace {

// The system's text for an error code, trimmed as the loader trims it.
std::wstring SystemText(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer ? buffer : L"", n);
    LocalFree(buffer);
    while (!text.empty() && (text.back() <= L' ' || text.back() == L'.')) text.pop_back();
    return text;
}

// A failure text as the failure display shows it: a full stop is added
// after anything that lies above "." in the code table.
std::wstring Displayed(const std::wstring& message) {
    if (!message.empty() && message.back() > L'.') return message + L".";
    return message;
}

std::string Bytes(size_t count, unsigned char value) {
    return std::string(count, static_cast<char>(value));
}

std::string Sequence(int first, int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes += static_cast<char>(first + i);
    return bytes;
}

struct ControlExpectation {
    int id;
    const char* name;
    RECT rect;  // left, top, width, height; width -1: any
    bool visible;
    bool enabled;
    const wchar_t* text;  // nullptr: not checked
    int image;            // FWM_GETIMAGEINDEX; -2: not checked
};

std::string Describe(const std::vector<std::wstring>& lines) {
    std::string out;
    for (const auto& l : lines) {
        out += '"';
        out += Narrow(l);
        out += "\" ";
    }
    return out;
}

class LoaderWindow : public LoaderTest {
protected:
    void SetUp() override { Start(); }

    void ExpectSummary(const std::wstring& name, const std::wstring& size, const std::wstring& sum) {
        std::vector<std::wstring> want = {L"Имя: " + name, L"Размер: " + size, L"Контрольная сумма: " + sum};
        EXPECT_EQ(want, Lines()) << "lines: " << Describe(Lines());
        EXPECT_EQ(0, ListSelection(Ctl(IDC_FILELIST)));
        EXPECT_TRUE(Enabled(Ctl(IDC_STARTBUTTON)));
    }

    // Waits for the failure box, checks its looks and that it holds the
    // window, presses OK and waits until the window takes input again.
    void ExpectFailureBox(const std::wstring& text, const std::wstring& shot = {}) {
        HWND box = program_->WaitForMessageBox();
        auto info = ReadMessageBox(box);
        if (!shot.empty()) Screenshot(shot);
        EXPECT_EQ(Narrow(text), Narrow(info.text));
        EXPECT_EQ(Narrow(kTitle), Narrow(info.caption));
        EXPECT_EQ(std::vector<int>{IDOK}, info.buttons);
        EXPECT_STREQ("error", IconName(info.icon));
        EXPECT_FALSE(Enabled(main_)) << "the main window must not react while the box is open";
        PressDialogButton(box, IDOK);
        WaitUntil("the main window enabled again", [&] { return Enabled(main_); });
        EXPECT_TRUE(program_->NoDialogs()) << DumpTopLevelWindows();
    }
};

TEST_F(LoaderWindow, FirstLook) {
    EXPECT_EQ(Narrow(kTitle), Narrow(Text(main_)));
    SIZE client = ClientSize(main_);
    EXPECT_EQ(346, client.cx);
    EXPECT_EQ(150, client.cy);

    LONG style = GetWindowLongW(main_, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_EQ(WS_CAPTION, style & WS_CAPTION);
    EXPECT_FALSE(style & WS_MINIMIZEBOX) << "no minimise button";
    EXPECT_FALSE(style & WS_MAXIMIZEBOX) << "no maximise button";
    EXPECT_FALSE(style & WS_THICKFRAME) << "fixed border";

    RECT outer{};
    GetWindowRect(main_, &outer);
    LONG w = outer.right - outer.left, h = outer.bottom - outer.top;
    EXPECT_EQ(std::max(0L, (GetSystemMetrics(SM_CXVIRTUALSCREEN) - w) / 2), outer.left);
    EXPECT_EQ(std::max(0L, (GetSystemMetrics(SM_CYVIRTUALSCREEN) - h) / 2), outer.top);

    const ControlExpectation controls[] = {
        {IDC_FILELABEL, "FileLabel", {8, 6, 241, 13}, true, true, L"Файл        ", -2},
        {IDC_FILELIST, "FileList", {8, 20, 237, 73}, true, true, nullptr, -2},
        {IDC_OPENBUTTON, "OpenButton", {248, 18, 81, 25}, true, true, L"Открыть", 1},
        {IDC_LOCKBUTTON, "LockButton", {248, 56, 25, 25}, false, false, nullptr, 4},
        {IDC_KEYLABEL, "KeyLabel", {8, 96, -1, 13}, false, true, L"Пароль", -2},
        {IDC_KEYEDIT, "KeyEdit", {104, 96, 137, 21}, false, true, L"3C 5A 91 0E D4 27 B8 66", -2},
        {IDC_STATUSPANE, "StatusPane", {8, 124, 42, 20}, false, true, L"", -1},
        {IDC_PROGRESSBAR, "ProgressBar", {104, 124, 141, 19}, false, true, nullptr, -2},
        {IDC_STARTBUTTON, "StartButton", {252, 120, 81, 25}, true, false, L"Старт", 0},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.name);
        HWND h = Ctl(c.id);
        RECT r = RectIn(h, main_);
        EXPECT_EQ(c.rect.left, r.left);
        EXPECT_EQ(c.rect.top, r.top);
        if (c.rect.right >= 0) {
            EXPECT_EQ(c.rect.right, r.right - r.left);
        }
        EXPECT_EQ(c.rect.bottom, r.bottom - r.top);
        EXPECT_EQ(c.visible, Visible(h));
        EXPECT_EQ(c.enabled, Enabled(h));
        if (c.text) {
            EXPECT_EQ(Narrow(c.text), Narrow(Text(h)));
        }
        if (c.image != -2) {
            EXPECT_EQ(c.image, ImageIndex(h));
        }
    }
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(-1, ListSelection(Ctl(IDC_FILELIST)));
    EXPECT_EQ(0, ProgressPos(Ctl(IDC_PROGRESSBAR)));

    // kStacking, highest first: the two focusable controls (in either order)
    // above the rest, and the status pane above the progress bar it grows into.
    const std::vector<int> drawn = {IDC_STATUSPANE, IDC_KEYLABEL,    IDC_LOCKBUTTON, IDC_FILELABEL,
                                    IDC_OPENBUTTON, IDC_PROGRESSBAR, IDC_STARTBUTTON};
    std::vector<int> seen;
    for (HWND h = GetWindow(main_, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT))
        seen.push_back(GetDlgCtrlID(h));
    ASSERT_EQ(drawn.size() + 2, seen.size());
    std::vector<int> top(seen.begin(), seen.begin() + 2);
    std::sort(top.begin(), top.end());
    EXPECT_EQ((std::vector<int>{IDC_FILELIST, IDC_KEYEDIT}), top);
    EXPECT_EQ(drawn, std::vector<int>(seen.begin() + 2, seen.end()));
    Screenshot(L"window-initial", main_);
}

TEST_F(LoaderWindow, GreyedStartDoesNothing) {
    HWND start = Ctl(IDC_STARTBUTTON);
    Click(start);
    Settle();
    // A download would show its confirmation box and the status pane.
    EXPECT_TRUE(program_->NoDialogs()) << DumpTopLevelWindows();
    EXPECT_FALSE(Enabled(start));
    EXPECT_FALSE(Visible(Ctl(IDC_STATUSPANE)));
    EXPECT_FALSE(Visible(Ctl(IDC_PROGRESSBAR)));
    EXPECT_TRUE(Lines().empty());

    // The window still answers the mouse: Open shows its dialog.
    Click(Ctl(IDC_OPENBUTTON));
    program_->CancelFileDialog();
    Settle();
    EXPECT_TRUE(program_->NoDialogs()) << DumpTopLevelWindows();
    EXPECT_FALSE(Enabled(start));
}

TEST_F(LoaderWindow, OpenDialogOffersImageFilesFirst) {
    Click(Ctl(IDC_OPENBUTTON));
    HWND dialog = program_->WaitForFileDialog();
    EXPECT_EQ("Select file to update", Narrow(Text(dialog)));
    HWND types = FileTypeBox(dialog);
    std::vector<std::string> want = {"Файлы Lock", "Файлы Bin", "Файлы Hex", "Все файлы"}, got;
    for (const auto& line : ComboLines(types)) got.push_back(Narrow(line));
    EXPECT_EQ(want, got);
    EXPECT_EQ(0, ComboSelection(types));
    EXPECT_FALSE(Enabled(main_)) << "the dialog holds the window";
    PressDialogButton(dialog, IDCANCEL);
    WaitUntil("the main window enabled again", [&] { return Enabled(main_); });
}

// A folder name of 240 characters: one makes a path of about 300, four of
// about 1000, which Windows opens only in the long form.
const std::wstring kLongName(240, L'd');

struct OpenCase {
    std::wstring file;  // relative to the test's folder
    std::string bytes;
    const wchar_t* name;  // as the name line shows it
    const wchar_t* size;
    const wchar_t* sum;
    Way way = Way::Dialog;
    const wchar_t* after = nullptr;  // an image given after file (dropped with it, a second argument)
    bool overFailureBox = false;     // dropped first while a failure box is up: refused
};

class OpenImage : public LoaderWindow, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenImage, ShowsSummary) {
    const auto& c = GetParam();
    std::vector<std::wstring> paths = {temp_.Write(c.file, c.bytes)};
    if (c.after) paths.push_back(temp_.Write(c.after, kHexTwoRecords));
    if (c.overFailureBox) {
        Open(temp_.Path(L"missing.bin"));
        HWND box = program_->WaitForMessageBox();
        EXPECT_EQ(DROPEFFECT_NONE, DropFiles(Ctl(IDC_FILELIST), paths, 2000).effect);
        PressDialogButton(box, IDOK);
        Settle();
        EXPECT_TRUE(Lines().empty()) << "lines: " << Describe(Lines());
    }
    OpenBy(c.way, paths);
    ExpectSummary(c.name, c.size, c.sum);
    EXPECT_TRUE(program_->NoDialogs()) << DumpTopLevelWindows();
}

INSTANTIATE_TEST_SUITE_P(
    Files, OpenImage,
    ::testing::Values(
        OpenCase{L"fw.Bin", Sequence(1, 16), L"fw.Bin", L"0010", L"0088"},
        OpenCase{L"a.LOCK", Bytes(258, 0xFF), L"a.LOCK", L"0102", L"00FE"},
        OpenCase{L"ff257.bin", Bytes(257, 0xFF), L"ff257.bin", L"0101", L"FFFF"},
        OpenCase{L"empty.bin", "", L"empty.bin", L"0000", L"0000"},
        OpenCase{L"big.lock", Bytes(65537, 0x01), L"big.lock", L"10001", L"0001"},
        OpenCase{L"FIRMWARE.HEX", kHexTwoRecords, L"FIRMWARE.HEX", L"0014", L"0F0C"},
        OpenCase{L"firmware.Hex", ":0400000001020304f2\n:04001000aabbccddde\n", L"firmware.Hex", L"0014",
                 L"0F0C"},
        OpenCase{L"image.bin.hex", ":00000001FF\r\n", L"image.bin.hex", L"0001", L"00FF"},
        OpenCase{L"Прошивки\\прошивка.bin", Sequence(0x30, 3), L"прошивка.bin", L"0003", L"0093"},
        OpenCase{L"given.hex", kHexTwoRecords, L"given.hex", L"0014", L"0F0C", Way::CommandLine},
        OpenCase{L"dropped.bin", Sequence(1, 16), L"dropped.bin", L"0010", L"0088", Way::Drop},
        OpenCase{L"Мои прошивки\\новая прошивка.bin", Sequence(0x30, 3), L"новая прошивка.bin", L"0003",
                 L"0093", Way::CommandLine},
        OpenCase{L"Мои прошивки\\новая прошивка.hex", kHexTwoRecords, L"новая прошивка.hex", L"0014", L"0F0C",
                 Way::Drop},
        OpenCase{L"long\\" + kLongName + L"\\long.hex", kHexTwoRecords, L"long.hex", L"0014", L"0F0C",
                 Way::CommandLine},
        OpenCase{
            L"long\\" + kLongName + L"\\" + kLongName + L"\\" + kLongName + L"\\" + kLongName + L"\\long.bin",
            Sequence(1, 16), L"long.bin", L"0010", L"0088", Way::CommandLine},
        OpenCase{L"first.bin", Sequence(1, 16), L"first.bin", L"0010", L"0088", Way::Drop, L"second.hex"},
        OpenCase{L"first.bin", Sequence(1, 16), L"first.bin", L"0010", L"0088", Way::CommandLine,
                 L"second.hex"},
        OpenCase{L"late.bin", Sequence(1, 16), L"late.bin", L"0010", L"0088", Way::Drop, nullptr, true}));

TEST_F(LoaderWindow, SecondOpenReplacesSummary) {
    Open(temp_.Write(L"one.bin", Sequence(1, 4)));
    Settle();
    ExpectSummary(L"one.bin", L"0004", L"000A");
    Screenshot(L"window-after-open", main_);
    // Move the selection away so that the second open has to select again.
    PostMessageW(Ctl(IDC_FILELIST), LB_SETCURSEL, 2, 0);
    Settle();
    ASSERT_EQ(2, ListSelection(Ctl(IDC_FILELIST)));
    Open(temp_.Write(L"two.hex", kHexTwoRecords));
    Settle();
    ExpectSummary(L"two.hex", L"0014", L"0F0C");
}

TEST_F(LoaderWindow, IgnoredExtensionAndCancelKeepSummary) {
    Open(temp_.Write(L"fw.bin", Sequence(1, 16)));
    Settle();
    ExpectSummary(L"fw.bin", L"0010", L"0088");

    for (const wchar_t* ignored : {L"image.txt", L"image.lck"}) {
        SCOPED_TRACE(Narrow(ignored));
        Open(temp_.Write(ignored, Bytes(8, 0x55)));
        Settle();
        EXPECT_TRUE(program_->NoDialogs()) << "an unknown extension is ignored silently\n"
                                           << DumpTopLevelWindows();
        ExpectSummary(L"fw.bin", L"0010", L"0088");
    }

    Click(Ctl(IDC_OPENBUTTON));
    program_->CancelFileDialog();
    Settle();
    EXPECT_TRUE(program_->NoDialogs()) << DumpTopLevelWindows();
    ExpectSummary(L"fw.bin", L"0010", L"0088");
}

TEST_F(LoaderWindow, MissingFileShowsFailureAndWindowWorksAfter) {
    Open(temp_.Write(L"good.bin", Sequence(1, 16)));
    Settle();
    ExpectSummary(L"good.bin", L"0010", L"0088");

    HWND list = Ctl(IDC_FILELIST);
    EXPECT_EQ(list, FocusOf(main_)) << "the list is the only control that takes the focus";
    std::wstring missing = temp_.Path(L"missing.bin");
    Open(missing);
    std::wstring sys = SystemText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(sys.empty());
    ExpectFailureBox(Displayed(L"Cannot open file \"" + missing + L"\". " + sys), L"failure-box");
    ExpectSummary(L"good.bin", L"0010", L"0088");
    WaitUntil("the focus back on the list",
              [&] { return FocusOf(main_) == list && ActiveOf(main_) == main_; });

    // The window works as before.
    Open(temp_.Write(L"again.lock", Bytes(2, 0x80)));
    Settle();
    ExpectSummary(L"again.lock", L"0002", L"0100");
}

class OpenOtherWay : public LoaderWindow, public ::testing::WithParamInterface<Way> {};

// As through the dialog: another extension is ignored silently, a missing
// file shows the failure and the window stays.
TEST_P(OpenOtherWay, IgnoresOtherExtensionAndShowsFailure) {
    OpenBy(GetParam(), temp_.Write(L"image.txt", Bytes(8, 0x55)));
    EXPECT_TRUE(program_->NoDialogs()) << DumpTopLevelWindows();
    EXPECT_TRUE(Lines().empty());

    const std::wstring missing = temp_.Path(L"нет такой.bin");
    OpenBy(GetParam(), missing);
    ExpectFailureBox(
        Displayed(L"Cannot open file \"" + missing + L"\". " + SystemText(ERROR_FILE_NOT_FOUND)));
    EXPECT_TRUE(Lines().empty());
    EXPECT_FALSE(Enabled(Ctl(IDC_STARTBUTTON)));
    EXPECT_TRUE(program_->Running());
}

INSTANTIATE_TEST_SUITE_P(Ways, OpenOtherWay, ::testing::Values(Way::Drop, Way::CommandLine),
                         [](const auto& info) { return std::string(WayName(info.param)); });

// The label's box shares a pixel with the Open button's frame under the
// pointer; the label's background lets it show.
TEST_F(LoaderWindow, OpenButtonFrameShowsThroughTheLabel) {
    HWND open = Ctl(IDC_OPENBUTTON);
    RECT r{};
    GetWindowRect(open, &r);
    SetCursorPos(r.left + 10, r.top + 10);
    PostMessageW(open, WM_MOUSEMOVE, 0, MAKELPARAM(10, 10));
    POINT shared{248, 18};
    ClientToScreen(main_, &shared);
    WaitUntil("the frame's corner drawn under the label", [&] {
        HDC screen = GetDC(nullptr);
        const COLORREF drawn = GetPixel(screen, shared.x, shared.y);
        ReleaseDC(nullptr, screen);
        return drawn == GetSysColor(COLOR_BTNSHADOW);
    });
}

TEST_F(LoaderWindow, BadHexFieldShowsConvertError) {
    Open(temp_.Write(L"bad.hex", ":0400000001020304F2\r\n:1G00100001FF\r\n"));
    ExpectFailureBox(L"'$1G' is not a valid integer value.");
    EXPECT_TRUE(Lines().empty());
    EXPECT_FALSE(Enabled(Ctl(IDC_STARTBUTTON)));

    Open(temp_.Write(L"ok.hex", kHexTwoRecords));
    Settle();
    ExpectSummary(L"ok.hex", L"0014", L"0F0C");
}

struct CloseCase {
    const char* name;
    void (Program::*close)();
};

class CloseWindow : public LoaderWindow, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseWindow, EndsWithExitCodeZero) {
    Open(temp_.Write(L"fw.bin", Sequence(1, 16)));
    Settle();
    ((*program_).*GetParam().close)();
    EXPECT_EQ(0u, program_->ExitCode());
}

INSTANTIATE_TEST_SUITE_P(Requests, CloseWindow,
                         ::testing::Values(CloseCase{"WmClose", &Program::PostClose},
                                           CloseCase{"SysClose", &Program::PostSysClose}),
                         [](const auto& info) { return std::string(info.param.name); });

// What a folder holds: nothing, the simulated DFU.dll, a DFU.dll that imports
// a library of its own, that library, or both. That library leaves a marker
// line when it loads, as it must before the DFU.dll that imports it runs.
enum class Holds { Nothing, Sim, Needs, Dependency, Both };

void Put(const TempFolder& temp, const std::wstring& folder, Holds holds) {
    CreateDirectoryW(temp.Path(folder).c_str(), nullptr);
    if (holds == Holds::Sim) temp.Write(folder + L"\\DFU.dll", ReadBytes(BinPath(L"DFU.dll")));
    if (holds == Holds::Needs || holds == Holds::Both)
        temp.Write(folder + L"\\DFU.dll", ReadBytes(BinPath(L"hostile\\needs\\DFU.dll")));
    if (holds == Holds::Dependency || holds == Holds::Both)
        temp.Write(folder + L"\\libhostile_needed.dll",
                   ReadBytes(BinPath(L"..\\tests\\e2e\\libhostile_needed.dll")));
}

// The loader binds DFU.dll before its window from its own folder, the
// system's or PATH's, never from the folder it was started from: a library
// there, or a dependency there of the one beside the loader, never runs, and
// a refusal's box says why.
TEST(LoaderStart, DeviceLibraryOfTheStartFolder) {
    const std::wstring kPassed = L"не использована", kNotLoaded = L"Не удалось загрузить",
                       kNowhere = L"Не найдена библиотека прибора DFU.dll";
    struct Row {
        const char* name;
        Holds beside, started;
        std::wstring onPath;  // put before PATH ("*": the start folder, "*\\": with a separator, "^": in capitals)
        const std::wstring* refusal;  // what the box says; nullptr: the window opens
    };
    const Row rows[] = {{"nowhere", Holds::Nothing, Holds::Nothing, L"", &kNowhere},
                        {"only in the start folder", Holds::Nothing, Holds::Sim, L"", &kPassed},
                        {"beside the loader too", Holds::Sim, Holds::Sim, L"", nullptr},
                        {"PATH holds .", Holds::Nothing, Holds::Sim, L".", &kPassed},
                        {"the start folder on PATH", Holds::Nothing, Holds::Sim, L"*", nullptr},
                        {"the start folder on PATH, ending in a separator", Holds::Nothing, Holds::Sim, L"*\\",
                         nullptr},
                        {"the start folder on PATH in capitals, its library not loading", Holds::Nothing,
                         Holds::Needs, L"^", &kNotLoaded},
                        {"a library and its dependency in the start folder", Holds::Nothing, Holds::Both, L"",
                         &kPassed},
                        {"its dependency in the start folder", Holds::Needs, Holds::Dependency, L"",
                         &kNotLoaded}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder temp;
        const std::wstring exe = temp.Write(L"программа\\loader.exe", ReadBytes(LoaderPath()));
        Put(temp, L"программа", row.beside);
        Put(temp, L"запуск", row.started);
        const std::wstring marker = temp.Path(L"ran.txt");
        Launch launch{.env = {{L"FWL_HOSTILE_MARKER", marker}}, .workDir = temp.Path(L"запуск")};
        std::wstring entry;
        if (!row.onPath.empty()) {
            entry = row.onPath[0] == L'*' ? launch.workDir + row.onPath.substr(1) : row.onPath;
            if (entry == L"^") {
                entry = launch.workDir;
                for (wchar_t& c : entry)
                    if (c < 128) c = static_cast<wchar_t>(towupper(c));
            }
            launch.env.push_back({L"PATH", entry + L";" + _wgetenv(L"PATH")});
        }
        Program program(exe, launch);
        if (row.refusal) {
            const MessageBoxInfo box = ReadMessageBox(program.WaitForMessageBox(kStartMs));
            EXPECT_NE(std::wstring::npos, box.text.find(*row.refusal)) << Narrow(box.text);
            // The library named: the start folder's, passed by, or the one beside that did not load.
            const bool besideFails = row.refusal == &kNotLoaded && row.started != Holds::Needs;
            // Named as PATH names its folder.
            const std::wstring named = besideFails               ? temp.Path(L"программа\\DFU.dll")
                                       : row.started == Holds::Needs ? entry + L"\\DFU.dll"
                                                                     : temp.Path(L"запуск\\DFU.dll");
            // Named on PATH, however written: the start folder's library is not one passed by.
            if (row.refusal != &kPassed) {
                EXPECT_EQ(std::wstring::npos, box.text.find(kPassed)) << Narrow(box.text);
            }
            if (row.refusal != &kNowhere) {
                EXPECT_NE(std::wstring::npos, box.text.find(L"\n" + named + L"\n")) << Narrow(box.text);
            }
            EXPECT_EQ(Narrow(kTitle), Narrow(box.caption));
            EXPECT_STREQ("error", IconName(box.icon));
            EXPECT_EQ(nullptr, FindWindowW(L"TForm1", nullptr)) << "no window before the refusal";
            PressDialogButton(box.hwnd, IDOK);
        } else {
            program.WaitForWindow(kTitle, kStartMs);
            program.PostClose();
        }
        EXPECT_EQ(row.refusal ? 1u : 0u, program.ExitCode());
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(marker.c_str()))
            << "a library of the start folder ran: " << ReadBytes(marker);
    }
}

// The usage before DFU.dll is bound (none is beside this loader), no window: 0;
// an unknown option named: 2; --log's value and "-x" are no options (1).
TEST(LoaderStart, UsageBeforeTheLibrary) {
    const std::tuple<std::vector<std::wstring>, std::wstring, const char*, DWORD> rows[] = {
        {{L"fw.hex", L"/?"}, L"Запуск программы:", "information", 0},
        {{L"--bogus", L"--help"}, L"Неизвестный параметр: --bogus\n\nЗапуск программы:", "error", 2},
        {{L"--log", L"--help", L"-x"}, L"Не найдена библиотека прибора DFU.dll", "error", 1},
    };
    TempFolder temp;
    const std::wstring exe = temp.Write(L"loader.exe", ReadBytes(LoaderPath()));
    for (const auto& [args, text, icon, exitCode] : rows) {
        Program program(exe, {.args = args});
        const MessageBoxInfo box = ReadMessageBox(program.WaitForMessageBox(kStartMs));
        EXPECT_EQ(Narrow(text), Narrow(box.text.substr(0, text.size()))) << Narrow(box.text);
        EXPECT_EQ(Narrow(kTitle), Narrow(box.caption));
        EXPECT_STREQ(icon, IconName(box.icon));
        EXPECT_EQ(nullptr, FindWindowW(L"TForm1", nullptr)) << "no window with the usage";
        PressDialogButton(box.hwnd, IDOK);
        EXPECT_EQ(exitCode, program.ExitCode());
    }
}

// For the MSI's cycle: the installed loader on the demo's DFU.dll opens its image.
TEST(LoaderStart, DISABLED_InstalledDemo) {
    Program program(LoaderPath(), {.args = {BinPath(L"demo\\example.hex")}});
    const HWND list = FindControl(program.WaitForWindow(kTitle, kStartMs), IDC_FILELIST);
    WaitUntil("the demo image's name", [&] { return ListLines(list) == std::vector<std::wstring>{L"Имя: example.hex",
                                                   L"Размер: A000", L"Контрольная сумма: ADE3"}; });
}

}  // namespace

// Drives a Windows program from the outside, as an operator would: finds its
// windows and controls, reads them, clicks, fills the file-open dialog, reads
// and answers message boxes and takes screenshots. Starting and closing a
// program, and what the tests share, are in Fixture.h.
//
// Everything works across processes (messages with time limits, no hooks), so
// it runs the same under Wine and on Windows. Every wait has a time limit;
// when it runs out, an e2e::Timeout is thrown whose text lists every top-level
// window, which GoogleTest reports as the test's failure.
#pragma once

#include <windows.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace e2e {

// Limit for a wait that can only end well (a window, a line, a record): a
// generous bound that costs nothing when things go fast, and leaves room for
// a busy machine. The first window on a fresh display takes ~1 s.
constexpr DWORD kWaitMs = 60000;

std::string Narrow(const std::wstring& text);  // UTF-8
std::wstring Widen(const std::string& utf8);
// The environment variable's value; "" when it is not set.
std::wstring GetEnv(const wchar_t* name);

// A wait that ran out, or a window that did not answer in time.
class Timeout : public std::runtime_error {
public:
    explicit Timeout(const std::string& what) : std::runtime_error(what) {}
};

// ---------------------------------------------------------------------------
// Windows of the desktop

struct TopWindow {
    HWND hwnd;
    std::wstring className;
    std::wstring text;
    DWORD pid;
    bool visible;
    bool enabled;
    HWND owner;
};

std::vector<TopWindow> TopLevelWindows();
// One line per top-level window: handle, class, text, pid, visible, enabled.
std::string DumpTopLevelWindows();

// Polls cond every few milliseconds until it holds; throws Timeout naming
// what and listing the windows when ms pass first.
void WaitUntil(const std::string& what, const std::function<bool()>& cond, DWORD ms = kWaitMs);

// ---------------------------------------------------------------------------
// Reading and pressing controls of another process

// SendMessageTimeoutW; throws Timeout when the window does not answer.
LRESULT Send(HWND hwnd, UINT msg, WPARAM wp = 0, LPARAM lp = 0, DWORD ms = kWaitMs);

std::wstring Text(HWND hwnd);
void SetText(HWND hwnd, const std::wstring& text);
bool Visible(HWND hwnd);
bool Enabled(HWND hwnd);
std::wstring ClassName(HWND hwnd);

// The descendant of parent with that control ID (a direct child first);
// nullptr when there is none.
HWND FindControl(HWND parent, int id);

// The window with the keyboard focus on the thread that owns `window`.
HWND FocusOf(HWND window);
// The active window of the thread that owns `window`.
HWND ActiveOf(HWND window);

// The control's rectangle in the client coordinates of `parent`.
RECT RectIn(HWND control, HWND parent);
SIZE ClientSize(HWND hwnd);

// List box lines and selection (LB_GETCURSEL; -1 when none).
std::vector<std::wstring> ListLines(HWND listBox);
int ListSelection(HWND listBox);

// Combo box lines (CB_GETCOUNT/CB_GETLBTEXT) and selection (-1: none).
std::vector<std::wstring> ComboLines(HWND comboBox);
int ComboSelection(HWND comboBox);

// PBM_GETPOS of a progress bar; FWM_GETIMAGEINDEX of a tool button or the
// status pane (-1: no image).
int ProgressPos(HWND progressBar);
int ImageIndex(HWND control);

// A press of the left mouse button at the centre of the control, posted so
// that a handler which opens a modal box does not block the caller.
void Click(HWND control);

// Waits until every message posted before this call to the thread that owns
// `edit` (any EDIT control of that thread) has been handled. Needed before
// checking that a posted click changed nothing.
void Sync(HWND edit);

// ---------------------------------------------------------------------------
// Dialogs and message boxes (#32770)

enum class BoxIcon { None, Error, Warning, Information, Question, Unknown };
const char* IconName(BoxIcon icon);

struct MessageBoxInfo {
    HWND hwnd = nullptr;
    std::wstring caption;
    std::wstring text;
    std::vector<int> buttons;  // IDs of the visible buttons, left to right
    BoxIcon icon = BoxIcon::None;
};

// Visible #32770 windows of the process; with `childId`, only those that have
// a child of that ID (0xFFFF: message boxes, 0x47C: file dialogs).
std::vector<HWND> Dialogs(DWORD pid, int childId = 0);

// Reads text, caption, buttons and icon. The icon is told from the pixels on
// screen, so the box must be visible and not covered.
MessageBoxInfo ReadMessageBox(HWND box);

// Presses a dialog button by ID (BM_CLICK, posted) and waits for the dialog
// to close.
void PressDialogButton(HWND dialog, int id, DWORD ms = kWaitMs);

// The file dialog's file type box (cmb1).
HWND FileTypeBox(HWND dialog);

// Types `path` into the file name box of a file-open dialog.
void SetDialogFileName(HWND dialog, const std::wstring& path);

// ---------------------------------------------------------------------------
// Screenshots

// The screen (or the window's outer rectangle with a small margin) saved as a
// 24-bit BMP under FWL_E2E_SHOTS (default: e2e-shots in the current folder).
// Returns the file's path.
std::wstring Screenshot(const std::wstring& name, HWND window = nullptr);

}  // namespace e2e

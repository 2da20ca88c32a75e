// Drives a Windows program from the outside, as an operator would: starts it,
// finds its windows and controls, reads them, clicks, fills the file-open
// dialog, reads and answers message boxes, closes it and takes screenshots.
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
#include <utility>
#include <vector>

namespace e2e {

// Default limit for one wait; the first window on a fresh display takes ~1 s.
constexpr DWORD kWaitMs = 10000;

std::string Narrow(const std::wstring& text);  // UTF-8
std::wstring Widen(const std::string& utf8);

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
LRESULT Send(HWND hwnd, UINT msg, WPARAM wp = 0, LPARAM lp = 0, DWORD ms = 5000);

std::wstring Text(HWND hwnd);
void SetText(HWND hwnd, const std::wstring& text);
bool Visible(HWND hwnd);
bool Enabled(HWND hwnd);
std::wstring ClassName(HWND hwnd);

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

// ---------------------------------------------------------------------------
// A started program

class Program {
public:
    using Env = std::vector<std::pair<std::wstring, std::wstring>>;
    // L"NAME=value" (as SimControl::EnvAssignment gives it) as an Env entry.
    static std::pair<std::wstring, std::wstring> Assignment(const std::wstring& nameEqualsValue);

    // Starts exe with the current environment plus `env` (replacing variables
    // of the same name). The working folder defaults to the exe's folder.
    explicit Program(const std::wstring& exe, const Env& env = {}, const std::wstring& workDir = {});
    // Ends the process if it is still running, so a failed test never hangs.
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    DWORD Pid() const { return pid_; }
    HANDLE Process() const { return process_; }
    bool Running() const;

    // The visible top-level window of this process with this caption.
    HWND WaitForWindow(const std::wstring& caption, DWORD ms = kWaitMs);
    // That window once found (WaitForWindow first).
    HWND Main() const { return main_; }
    // A child of the main window by control ID; throws when there is none.
    HWND Control(int id) const;

    HWND WaitForMessageBox(DWORD ms = kWaitMs);
    HWND WaitForFileDialog(DWORD ms = kWaitMs);
    // No message box and no dialog of this process is open.
    bool NoDialogs() const;

    // Fills the file-open dialog and presses Open; waits until it is gone.
    void ChooseFile(const std::wstring& path, DWORD ms = kWaitMs);
    void CancelFileDialog(DWORD ms = kWaitMs);

    void PostClose();     // WM_CLOSE
    void PostSysClose();  // WM_SYSCOMMAND SC_CLOSE (title-bar button, system menu)

    // True and the exit code when the process ended within ms.
    bool WaitForExit(DWORD ms, DWORD* exitCode = nullptr);
    // The exit code; throws Timeout when the process is still running.
    DWORD ExitCode(DWORD ms = kWaitMs);

    void Kill();

private:
    // The first dialog of the program that has a child with childId.
    HWND WaitForDialog(int childId, const std::string& what, DWORD ms);

    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    HWND main_ = nullptr;
};

// The folder of the program under test: FWL_E2E_BIN, else this exe's folder.
std::wstring BinFolder();
std::wstring GetEnv(const wchar_t* name);

}  // namespace e2e

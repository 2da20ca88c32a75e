#include "widgets/Application.h"

#include <commctrl.h>

#include <atomic>
#include <vector>

#include "runtime/Display.h"
#include "runtime/Utf16.h"
#include "widgets/Action.h"
#include "widgets/Form.h"
#include "widgets/WidgetsPortable.h"

namespace widgets {

namespace {

constexpr wchar_t kAppClassName[] = L"TApplication";

struct TAppState {
    HINSTANCE instance = nullptr;
    HWND handle = nullptr;
    HWND mainWindow = nullptr;
    int dpi = kDesignDpi;
    std::wstring title;
    bool terminated = false;
    // Written by the download worker, read by the window's thread: one
    // small value, no lock.
    std::atomic<TCursorSetting> cursor{TCursorSetting::Default};
    // Where the next failure box goes.
    HMONITOR boxMonitor = nullptr;
    bool placeBox = false;
};

TAppState& State() {
    static TAppState state;
    return state;
}

BOOL CALLBACK CollectEnabledWindow(HWND hwnd, LPARAM param) {
    auto* windows = reinterpret_cast<std::vector<HWND>*>(param);
    if (hwnd == State().handle || !IsWindowVisible(hwnd) || !IsWindowEnabled(hwnd)) return TRUE;
    // Nothing may be thrown back through the system's enumeration; without
    // memory the windows found so far are all that is disabled.
    try {
        windows->push_back(hwnd);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

// Moves the failure box to the middle of the chosen monitor's work area as
// soon as it is about to be activated.
LRESULT CALLBACK PlaceBoxHook(int code, WPARAM wParam, LPARAM lParam) {
    TAppState& s = State();
    if (code == HCBT_ACTIVATE && s.placeBox) {
        HWND box = reinterpret_cast<HWND>(wParam);
        wchar_t cls[16] = {};
        GetClassNameW(box, cls, 16);
        if (lstrcmpW(cls, L"#32770") == 0) {
            s.placeBox = false;
            MONITORINFO mi{};
            mi.cbSize = sizeof mi;
            RECT r{};
            if (GetWindowRect(box, &r) && GetMonitorInfoW(s.boxMonitor, &mi)) {
                const RECT& a = mi.rcWork;
                const int x = a.left + CentredOrigin(a.right - a.left, r.right - r.left);
                const int y = a.top + CentredOrigin(a.bottom - a.top, r.bottom - r.top);
                SetWindowPos(box, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool IsSilent(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const EAbort&) {
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

void TApplication::Initialize(HINSTANCE instance) {
    TAppState& s = State();
    s.instance = instance;

    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
    InitCommonControlsEx(&icc);

    if (HDC screen = GetDC(nullptr)) {
        s.dpi = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
        if (s.dpi <= 0) s.dpi = kDesignDpi;
    }

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.lpszClassName = kAppClassName;
    RegisterClassExW(&wc);
    // Hidden, untitled and off the taskbar: it only owns the failure boxes.
    s.handle = CreateWindowExW(WS_EX_TOOLWINDOW, kAppClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               instance, nullptr);
}

void TApplication::Finalize() noexcept {
    TAppState& s = State();
    if (s.handle) DestroyWindow(s.handle);
    s.handle = nullptr;
    UnregisterClassW(kAppClassName, s.instance);
}

HINSTANCE TApplication::Instance() noexcept {
    return State().instance;
}
HWND TApplication::Handle() noexcept {
    return State().handle;
}
int TApplication::Dpi() noexcept {
    return State().dpi;
}

std::wstring TApplication::Title() {
    return State().title;
}
void TApplication::SetTitle(std::wstring_view title) {
    State().title = title;
}

void TApplication::Run(TForm& mainForm) {
    State().mainWindow = mainForm.Handle();
    mainForm.ShowForm();
    while (!State().terminated) {
        if (!ProcessMessage()) Idle();
    }
    State().mainWindow = nullptr;
}

bool TApplication::ProcessMessage() {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
        State().terminated = true;
    } else {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}

void TApplication::ProcessMessages() {
    while (ProcessMessage()) {
    }
}

void TApplication::Idle() {
    try {
        TActionList::UpdateAll();
    } catch (...) {
        HandleException(std::current_exception());
    }
    if (!State().terminated) WaitMessage();
}

void TApplication::Terminate() noexcept {
    PostQuitMessage(0);
}

void TApplication::HandleException(std::exception_ptr failure) noexcept {
    // A button held down when the failure arose is let go, also for the
    // silent kind.
    if (GetCapture()) ReleaseCapture();
    if (IsSilent(failure)) return;
    std::string message;
    try {
        message = rt::FailureMessage(failure);
    } catch (...) {
        message = "Out of memory";
    }
    ShowException(message);
}

void TApplication::ShowException(const std::string& message) noexcept {
    TAppState& s = State();
    // A button held down when the failure arose is let go.
    if (GetCapture()) ReleaseCapture();

    std::wstring text, caption;
    try {
        text = rt::Utf8ToUtf16(rt::FailureDisplayText(message));
        caption = s.title;
    } catch (...) {
        text = L"Out of memory.";
    }

    HWND active = GetActiveWindow();
    HWND focus = GetFocus();

    std::vector<HWND> disabled;
    EnumThreadWindows(GetCurrentThreadId(), CollectEnabledWindow, reinterpret_cast<LPARAM>(&disabled));
    for (HWND h : disabled) EnableWindow(h, FALSE);

    HWND placeBy = active ? active : s.mainWindow;
    s.boxMonitor = placeBy ? MonitorFromWindow(placeBy, MONITOR_DEFAULTTOPRIMARY)
                           : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    s.placeBox = true;
    HHOOK hook = SetWindowsHookExW(WH_CBT, PlaceBoxHook, nullptr, GetCurrentThreadId());

    MessageBoxW(s.handle, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);

    if (hook) UnhookWindowsHookEx(hook);
    s.placeBox = false;
    for (auto it = disabled.rbegin(); it != disabled.rend(); ++it)
        if (IsWindow(*it)) EnableWindow(*it, TRUE);
    if (active && IsWindow(active)) SetActiveWindow(active);
    if (focus && IsWindow(focus)) SetFocus(focus);
}

int TApplication::SystemMessageBox(std::string_view text, std::string_view caption, UINT style) {
    const std::wstring t = rt::Utf8ToUtf16(text);
    const std::wstring c = rt::Utf8ToUtf16(caption);
    return MessageBoxW(nullptr, t.c_str(), c.c_str(), style);
}

void TApplication::SetCursorSetting(TCursorSetting value) {
    if (State().cursor.exchange(value) == value) return;
    if (value == TCursorSetting::Default) {
        POINT p;
        if (GetCursorPos(&p)) {
            HWND under = WindowFromPoint(p);
            if (under && GetWindowThreadProcessId(under, nullptr) == GetCurrentThreadId()) {
                // Let the window under the pointer choose again, as if it moved.
                const LRESULT hit = SendMessageW(under, WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y));
                SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under),
                             MAKELPARAM(static_cast<WORD>(hit), WM_MOUSEMOVE));
                return;
            }
        }
    }
    SetCursor(LoadCursorW(nullptr, value == TCursorSetting::HourGlass ? IDC_WAIT : IDC_ARROW));
}

TCursorSetting TApplication::CursorSetting() noexcept {
    return State().cursor.load();
}

}  // namespace widgets

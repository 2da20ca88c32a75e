#include "widgets/Window.h"

#include <commctrl.h>

#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"
#include "widgets/Application.h"

namespace widgets {

namespace {

constexpr UINT_PTR kSubclassId = 1;

}  // namespace

void RaiseLastOSError() {
    const uint32_t code = GetLastError();
    throw rt::EOSError(code, rt::SysErrorMessage(code));
}

RECT ToRect(const TBounds& b) {
    return {b.Left, b.Top, b.Left + b.Width, b.Top + b.Height};
}

TWindow::~TWindow() {
    DestroyHandle();
}

// The object is going: the window's last messages go to the default handling.
void TWindow::DestroyHandle() noexcept {
    if (handle_) {
        HWND h = handle_;
        Detach();
        DestroyWindow(h);
    }
}

void TWindow::RegisterOwnClass(const wchar_t* className, UINT style, HICON icon, HICON smallIcon,
                               HBRUSH background) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExW(TApplication::Instance(), className, &wc)) return;
    wc.style = style;
    wc.lpfnWndProc = StaticWndProc;
    wc.hInstance = TApplication::Instance();
    wc.hIcon = icon;
    wc.hIconSm = smallIcon;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = background;
    wc.lpszClassName = className;
    if (!RegisterClassExW(&wc)) RaiseLastOSError();
}

void TWindow::CreateHandle(const wchar_t* className, DWORD exStyle, DWORD style, HWND parent, int id,
                           const RECT& r, std::wstring_view text) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    const bool own =
        GetClassInfoExW(TApplication::Instance(), className, &wc) && wc.lpfnWndProc == StaticWndProc;
    const std::wstring caption(text);
    HWND h = CreateWindowExW(exStyle, className, caption.c_str(), style, r.left, r.top, r.right - r.left,
                             r.bottom - r.top, parent,
                             (style & WS_CHILD) ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)) : nullptr,
                             TApplication::Instance(), own ? this : nullptr);
    if (!h) RaiseLastOSError();
    if (!own) {
        handle_ = h;
        if (!SetWindowSubclass(h, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
            handle_ = nullptr;
            DestroyWindow(h);
            RaiseLastOSError();
        }
        subclassed_ = true;
    }
}

LRESULT CALLBACK TWindow::StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self && msg == WM_NCCREATE) {
        self = static_cast<TWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        if (self) {
            self->handle_ = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
    }
    if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);
    const LRESULT result = self->Dispatch(msg, wParam, lParam);
    if (msg == WM_NCDESTROY) self->Detach();
    return result;
}

LRESULT CALLBACK TWindow::SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                       DWORD_PTR data) {
    auto* self = reinterpret_cast<TWindow*>(data);
    if (msg == WM_NCDESTROY) {
        self->Detach();
        return DefSubclassProc(hwnd, msg, wParam, lParam);
    }
    return self->Dispatch(msg, wParam, lParam);
}

void TWindow::Detach() noexcept {
    if (!handle_) return;
    if (subclassed_)
        RemoveWindowSubclass(handle_, SubclassProc, kSubclassId);
    else
        SetWindowLongPtrW(handle_, GWLP_USERDATA, 0);
    handle_ = nullptr;
    subclassed_ = false;
}

LRESULT TWindow::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    try {
        if (msg == WM_SETCURSOR && LOWORD(lParam) == HTCLIENT &&
            TApplication::CursorSetting() == TCursorSetting::HourGlass) {
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            return TRUE;
        }
        return WndProc(msg, wParam, lParam);
    } catch (...) {
        TApplication::HandleException(std::current_exception());
        return 0;
    }
}

LRESULT TWindow::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!subclassed_) {
        switch (msg) {
        case WM_SETFONT:
            font_ = reinterpret_cast<HFONT>(wParam);
            if (LOWORD(lParam)) InvalidateRect(handle_, nullptr, TRUE);
            return 0;
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(font_);
        }
    }
    return DefaultHandler(msg, wParam, lParam);
}

LRESULT TWindow::DefaultHandler(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (subclassed_) return DefSubclassProc(handle_, msg, wParam, lParam);
    return DefWindowProcW(handle_, msg, wParam, lParam);
}

bool TWindow::Visible() const noexcept {
    return handle_ && (GetWindowLongW(handle_, GWL_STYLE) & WS_VISIBLE) != 0;
}

void TWindow::SetVisible(bool visible) {
    if (!handle_ || Visible() == visible) return;
    ShowWindow(handle_, visible ? SW_SHOWNA : SW_HIDE);
}

bool TWindow::Enabled() const noexcept {
    return handle_ && IsWindowEnabled(handle_);
}

void TWindow::SetEnabled(bool enabled) {
    if (!handle_ || Enabled() == enabled) return;
    EnableWindow(handle_, enabled);
}

RECT TWindow::BoundsRect() const noexcept {
    return BoundsRectOf(handle_);
}

RECT TWindow::BoundsRectOf(HWND window) noexcept {
    RECT r{};
    if (!window) return r;
    GetWindowRect(window, &r);
    if (HWND parent = GetParent(window)) MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

void TWindow::SetFont(HFONT font) {
    if (handle_) SendMessageW(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    font_ = font;
}

bool TWindow::ChangeText(std::wstring_view text) {
    if (Text() == text) return false;
    const std::wstring s(text);
    SetWindowTextW(handle_, s.c_str());
    return true;
}

std::wstring TWindow::Text() const {
    if (!handle_) return {};
    const int n = GetWindowTextLengthW(handle_);
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    const int got = GetWindowTextW(handle_, s.data(), n + 1);
    s.resize(static_cast<size_t>(got < 0 ? 0 : got));
    return s;
}

void TWindow::PaintParentBackground(HDC dc, const RECT& rect) const {
    HWND parent = GetParent(handle_);
    if (!parent) {
        FillRect(dc, &rect, GetSysColorBrush(COLOR_WINDOW));
        return;
    }
    POINT origin{0, 0};
    MapWindowPoints(handle_, parent, &origin, 1);
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, rect.left, rect.top, rect.right, rect.bottom);
    OffsetViewportOrgEx(dc, -origin.x, -origin.y, nullptr);
    SendMessageW(parent, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RestoreDC(dc, saved);
}

void TWindow::PaintFrame(HDC dc, const RECT& rect, const TFlatFrame& frame) {
    HBRUSH brush = GetSysColorBrush(frame.ColorIndex);
    RECT r = rect;
    for (int i = 0; i < frame.Width; ++i) {
        FrameRect(dc, &r, brush);
        InflateRect(&r, -1, -1);
    }
}

SIZE TWindow::TextExtent(std::wstring_view text) const {
    SIZE size{0, 0};
    HDC dc = GetDC(handle_);
    HGDIOBJ old = SelectObject(dc, font_ ? static_cast<HGDIOBJ>(font_) : GetStockObject(DEFAULT_GUI_FONT));
    if (!text.empty()) GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &size);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    if (text.empty()) size.cy = tm.tmHeight;
    SelectObject(dc, old);
    ReleaseDC(handle_, dc);
    return size;
}

int TWindow::Dpi() const {
    return TApplication::Dpi();
}

}  // namespace widgets

// The progress bar's window class. It keeps its own state, made at WM_CREATE
// and freed at WM_DESTROY, and answers PBM_GETPOS and PBM_SETPOS like the
// common control, so it can be read from another process too.
//
// Look: a flat one-pixel frame with no gap, the filled part in the highlight
// colour from the left, the rest white, and the percentage in the middle,
// drawn in the highlight colour over the white part and in white over the
// filled part.
#include <windows.h>
#include <commctrl.h>

#include <new>
#include <string>

#include "widgets/Application.h"
#include "widgets/ControlStyle.h"
#include "widgets/Controls.h"
#include "widgets/Form.h"
#include "widgets/Paint.h"
#include "widgets/WidgetsPortable.h"

namespace widgets {

namespace {

constexpr wchar_t kClassName[] = L"TProgressBar";
constexpr COLORREF kEmptyColour = RGB(255, 255, 255);

struct TProgressInfo {
    HWND Self;
    uint16_t Position;
    HFONT Font;
};

TProgressInfo* InfoOf(HWND hwnd) {
    return reinterpret_cast<TProgressInfo*>(GetWindowLongPtrW(hwnd, 0));
}

void Paint(const TProgressInfo& info, HDC dc) {
    RECT rc;
    GetClientRect(info.Self, &rc);
    FrameRect(dc, &rc, GetSysColorBrush(COLOR_BTNSHADOW));
    RECT inner = rc;
    InflateRect(&inner, -1, -1);
    if (inner.right <= inner.left || inner.bottom <= inner.top) return;

    const int filled = FilledWidth(info.Position, inner.right - inner.left);
    RECT done = inner;
    done.right = inner.left + filled;
    RECT rest = inner;
    rest.left = done.right;
    FillRect(dc, &done, GetSysColorBrush(COLOR_HIGHLIGHT));
    HBRUSH white = CreateSolidBrush(kEmptyColour);
    FillRect(dc, &rest, white);
    DeleteObject(white);

    const std::string ascii = PercentText(info.Position);
    const std::wstring text(ascii.begin(), ascii.end());
    HGDIOBJ oldFont =
        SelectObject(dc, info.Font ? static_cast<HGDIOBJ>(info.Font) : GetStockObject(DEFAULT_GUI_FONT));
    SIZE ext{};
    GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &ext);
    const int x = inner.left + CentredOffset(inner.right - inner.left, ext.cx);
    const int y = inner.top + CentredOffset(inner.bottom - inner.top, ext.cy);
    SetBkMode(dc, TRANSPARENT);
    // The same text twice, each clipped to one part, in that part's
    // opposite colour.
    const struct {
        const RECT& part;
        COLORREF colour;
    } passes[] = {{done, kEmptyColour}, {rest, GetSysColor(COLOR_HIGHLIGHT)}};
    for (const auto& pass : passes) {
        if (pass.part.right <= pass.part.left) continue;
        const int saved = SaveDC(dc);
        IntersectClipRect(dc, pass.part.left, pass.part.top, pass.part.right, pass.part.bottom);
        SetTextColor(dc, pass.colour);
        ExtTextOutW(dc, x, y, 0, nullptr, text.data(), static_cast<UINT>(text.size()), nullptr);
        RestoreDC(dc, saved);
    }
    SelectObject(dc, oldFont);
}

LRESULT HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    TProgressInfo* info = InfoOf(hwnd);
    if (!info && msg != WM_CREATE) return DefWindowProcW(hwnd, msg, wParam, lParam);

    switch (msg) {
    case WM_CREATE:
        info = new (std::nothrow) TProgressInfo{hwnd, 0, nullptr};
        if (!info) return -1;
        SetWindowLongPtrW(hwnd, 0, reinterpret_cast<LONG_PTR>(info));
        return 0;
    case WM_DESTROY:
        SetWindowLongPtrW(hwnd, 0, 0);
        delete info;
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        TBufferedPaint paint(hwnd);
        Paint(*info, paint.DC());
        return 0;
    }
    case WM_PRINTCLIENT:
        Paint(*info, reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_SETFONT:
        info->Font = reinterpret_cast<HFONT>(wParam);
        if (LOWORD(lParam)) InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(info->Font);
    case PBM_GETPOS:
        return info->Position;
    case PBM_SETPOS: {
        // Returns the previous value; the same value repaints nothing.
        const uint16_t old = info->Position;
        const auto value = static_cast<uint16_t>(wParam);
        if (value != old) {
            info->Position = value;
            InvalidateRect(hwnd, nullptr, FALSE);
        }
        return old;
    }
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// The class's own procedure is called by the system, also from inside the
// subclass chain: a failure stops here, where the message arrived.
LRESULT CALLBACK ProgressWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    try {
        return HandleMessage(hwnd, msg, wParam, lParam);
    } catch (...) {
        TApplication::HandleException(std::current_exception());
        return 0;
    }
}

}  // namespace

void RegisterProgressBarClass(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExW(instance, kClassName, &wc)) return;
    wc.lpfnWndProc = ProgressWndProc;
    wc.cbWndExtra = sizeof(TProgressInfo*);
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
}

void TProgressBar::Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options) {
    RegisterProgressBarClass(TApplication::Instance());
    CreateHandle(L"TProgressBar", 0, kChildStyle | VisibleStyle(options.Visible), parent.Handle(), id,
                 ToRect(parent.Scale(bounds)), L"");
    SetFont(parent.Font());
}

uint16_t TProgressBar::GetPosition() const {
    return static_cast<uint16_t>(SendMessageW(Handle(), PBM_GETPOS, 0, 0));
}

void TProgressBar::SetPosition(uint16_t percent) {
    SendMessageW(Handle(), PBM_SETPOS, percent, 0);
}

}  // namespace widgets

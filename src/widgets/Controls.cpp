// The controls' common bases: a painted control of the widgets' own, one that
// shows an image of the list, and a control of the system's that takes the focus.
#include "widgets/Controls.h"

#include "runtime/Utf16.h"
#include "widgets/ControlStyle.h"
#include "widgets/Form.h"
#include "widgets/Messages.h"
#include "widgets/Paint.h"

namespace widgets {

// ---------------------------------------------------------------------------
// TCustomControl

void TCustomControl::CreateControl(TForm& parent, const wchar_t* className, int id, const TBounds& bounds,
                                   std::wstring_view caption, bool visible, DWORD exStyle) {
    RegisterOwnClass(className);
    CreateHandle(className, exStyle, kChildStyle | VisibleStyle(visible), parent.Handle(), id,
                 ToRect(parent.Scale(bounds)), caption);
    SetFont(parent.Font());
}

void TCustomControl::Invalidate() {
    InvalidateRect(Handle(), nullptr, FALSE);
    // A see-through sibling above clips this control where they overlap and
    // draws that part itself.
    const RECT mine = BoundsRect();
    for (HWND above = GetWindow(Handle(), GW_HWNDPREV); above; above = GetWindow(above, GW_HWNDPREV)) {
        if (!IsWindowVisible(above) || !(GetWindowLongW(above, GWL_EXSTYLE) & WS_EX_TRANSPARENT)) continue;
        const RECT r = BoundsRectOf(above);
        RECT overlap{};
        if (!IntersectRect(&overlap, &r, &mine)) continue;
        OffsetRect(&overlap, -r.left, -r.top);
        InvalidateRect(above, &overlap, FALSE);
    }
}

void TCustomControl::DrawCaption(HDC dc, RECT rect, std::wstring_view text, bool enabled, UINT format) const {
    if (text.empty()) return;
    HGDIOBJ old = SelectObject(dc, Font());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
    DrawTextW(dc, text.data(), static_cast<int>(text.size()), &rect, format | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, old);
}

LRESULT TCustomControl::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_PAINT: {
        TBufferedPaint paint(Handle());
        Paint(paint.DC());
        return 0;
    }
    case WM_PRINTCLIENT:
        Paint(reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_ERASEBKGND:
        // Paint covers every pixel.
        return 1;
    case WM_SETTEXT: {
        const LRESULT r = DefaultHandler(msg, wParam, lParam);
        TextChanged();
        Invalidate();
        return r;
    }
    case WM_ENABLE:
        Invalidate();
        return 0;
    }
    return TWindow::WndProc(msg, wParam, lParam);
}

// ---------------------------------------------------------------------------
// TImageControl

void TImageControl::SetImageIndex(int index) {
    if (imageIndex_ == index) return;
    imageIndex_ = index;
    ImageChanged();
    Invalidate();
}

LRESULT TImageControl::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == FWM_GETIMAGEINDEX) return imageIndex_;
    return TCustomControl::WndProc(msg, wParam, lParam);
}

// ---------------------------------------------------------------------------
// TFocusControl

void TFocusControl::CreateControl(TForm& parent, const wchar_t* className, DWORD exStyle, DWORD style, int id,
                                  const TBounds& bounds, std::wstring_view text, bool visible) {
    form_ = &parent;
    CreateHandle(className, exStyle, kChildStyle | VisibleStyle(visible) | WS_TABSTOP | style,
                 parent.Handle(), id, ToRect(parent.Scale(bounds)), text);
    SetFont(parent.Font());
}

LRESULT TFocusControl::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_KEYDOWN:
        if (wParam == VK_TAB) {
            form_->SelectNext(Handle(), GetKeyState(VK_SHIFT) >= 0);
            return 0;
        }
        break;
    case WM_CHAR:
        if (wParam == L'\t') return 0;
        break;
    }
    return TWindow::WndProc(msg, wParam, lParam);
}

}  // namespace widgets

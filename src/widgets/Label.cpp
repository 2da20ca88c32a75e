#include "widgets/Controls.h"

#include <vector>

#include "runtime/Utf16.h"
#include "widgets/Form.h"

namespace widgets {

void TLabel::Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options) {
    align_ = options.Align;
    autoSize_ = options.AutoSize;
    // WS_EX_TRANSPARENT also has the system paint the controls below first.
    CreateControl(parent, L"TLabel", id, bounds, options.Caption, options.Visible,
                  options.Transparent ? WS_EX_TRANSPARENT : 0);
    if (autoSize_) AdjustSize();
}

void TLabel::SetCaption(std::wstring_view caption) {
    ChangeText(caption);
}

void TLabel::TextChanged() {
    if (autoSize_) AdjustSize();
}

void TLabel::AdjustSize() {
    const SIZE s = TextExtent(Text());
    const RECT b = BoundsRect();
    if (b.right - b.left != s.cx || b.bottom - b.top != s.cy)
        SetWindowPos(Handle(), nullptr, 0, 0, s.cx, s.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TLabel::Paint(HDC dc) {
    RECT rc;
    GetClientRect(Handle(), &rc);
    PaintParentBackground(dc, rc);
    if (GetWindowLongW(Handle(), GWL_EXSTYLE) & WS_EX_TRANSPARENT) PaintControlsBelow(dc);
    const std::wstring text = Text();
    if (text.empty()) return;
    // Centred as a whole, trailing blanks included.
    if (align_ == TAlign::Center) rc.left = CentredOffset(rc.right, TextExtent(text).cx);
    DrawCaption(dc, rc, text, Enabled(), DT_LEFT | DT_TOP);
}

// The shown siblings below that the box overlaps, lowest first, each drawn
// into its own part of dc.
void TLabel::PaintControlsBelow(HDC dc) const {
    std::vector<HWND> below;
    for (HWND s = GetWindow(Handle(), GW_HWNDNEXT); s; s = GetWindow(s, GW_HWNDNEXT))
        if (IsWindowVisible(s)) below.push_back(s);
    const RECT mine = BoundsRect();
    for (auto it = below.rbegin(); it != below.rend(); ++it) {
        const RECT r = BoundsRectOf(*it);
        RECT overlap{};
        if (!IntersectRect(&overlap, &r, &mine)) continue;
        OffsetRect(&overlap, -mine.left, -mine.top);
        const int saved = SaveDC(dc);
        IntersectClipRect(dc, overlap.left, overlap.top, overlap.right, overlap.bottom);
        OffsetViewportOrgEx(dc, r.left - mine.left, r.top - mine.top, nullptr);
        SendMessageW(*it, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT | PRF_ERASEBKGND);
        RestoreDC(dc, saved);
    }
}

LRESULT TLabel::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    // The mouse reaches whatever lies below.
    if (msg == WM_NCHITTEST) return HTTRANSPARENT;
    return TCustomControl::WndProc(msg, wParam, lParam);
}

}  // namespace widgets

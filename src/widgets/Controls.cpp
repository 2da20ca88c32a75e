#include "widgets/Controls.h"

#include <vector>

#include "runtime/Utf16.h"
#include "widgets/Application.h"
#include "widgets/Form.h"
#include "widgets/Messages.h"
#include "widgets/Paint.h"

namespace widgets {

namespace {

constexpr DWORD kChildStyle = WS_CHILD | WS_CLIPSIBLINGS;

DWORD VisibleStyle(bool visible) {
    return visible ? WS_VISIBLE : 0;
}

}  // namespace

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
// TLabel

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

// ---------------------------------------------------------------------------
// TToolButton

TToolButton::~TToolButton() {
    if (action_) action_->RemoveClient(this);
}

void TToolButton::Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options) {
    images_ = options.Images;
    showCaption_ = options.ShowCaption;
    CreateControl(parent, L"TToolButton", id, bounds, L"", false);
}

void TToolButton::SetAction(TAction* action) {
    if (action_ == action) return;
    if (action_) action_->RemoveClient(this);
    action_ = action;
    if (action_) {
        action_->AddClient(this);
        ActionChanged(*action_);
    }
}

void TToolButton::ActionChanged(const TAction& action) {
    SetCaption(action.Caption());
    SetImageIndex(action.ImageIndex());
    SetEnabled(action.Enabled());
    SetVisible(action.Visible());
}

void TToolButton::SetCaption(std::wstring_view caption) {
    ChangeText(caption);
}

void TToolButton::SetEnabled(bool enabled) {
    if (Enabled() == enabled) return;
    if (!enabled) {
        if (pressed_ && GetCapture() == Handle()) ReleaseCapture();
        pressed_ = pushedIn_ = hot_ = false;
    }
    TWindow::SetEnabled(enabled);
}

void TToolButton::Click() {
    if (!Enabled()) return;
    if (action_)
        action_->Execute();
    else if (OnClick)
        OnClick(this);
}

void TToolButton::SetHot(bool hot) {
    if (hot_ == hot) return;
    hot_ = hot;
    Invalidate();
}

void TToolButton::SetPressed(bool pressed) {
    if (pressed_ == pressed && pushedIn_ == pressed) return;
    pressed_ = pushedIn_ = pressed;
    Invalidate();
}

void TToolButton::Paint(HDC dc) {
    RECT rc;
    GetClientRect(Handle(), &rc);
    PaintParentBackground(dc, rc);
    const bool enabled = Enabled();
    const bool down = enabled && pressed_ && pushedIn_;
    // Drawn for a window-coloured background, where 3-D edges would vanish:
    // a thin frame under the pointer, filled in while held down.
    if (down) {
        FillRect(dc, &rc, GetSysColorBrush(COLOR_BTNFACE));
        FrameRect(dc, &rc, GetSysColorBrush(COLOR_BTNSHADOW));
    } else if (enabled && (hot_ || pressed_)) {
        FrameRect(dc, &rc, GetSysColorBrush(COLOR_BTNSHADOW));
    }

    const std::wstring text = showCaption_ ? Text() : std::wstring();
    const int textWidth = text.empty() ? 0 : TextExtent(text).cx;
    const int imageSize = images_ ? images_->Size() : 0;
    const TButtonContent c =
        ButtonContent(rc.right, rc.bottom, imageSize, textWidth, showCaption_, TApplication::Dpi());
    const int shift = down ? 1 : 0;
    if (images_) images_->Draw(dc, imageIndex_, c.ImageLeft + shift, c.ImageTop + shift, enabled);
    DrawCaption(dc, RECT{c.TextLeft + shift, shift, rc.right, rc.bottom + shift}, text, enabled,
                DT_VCENTER | DT_LEFT | DT_NOCLIP);
}

LRESULT TToolButton::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_MOUSEMOVE: {
        if (!Enabled()) return 0;
        if (!hot_) {
            TRACKMOUSEEVENT tme{};
            tme.cbSize = sizeof tme;
            tme.dwFlags = TME_LEAVE;
            tme.hwndTrack = Handle();
            TrackMouseEvent(&tme);
            SetHot(true);
        }
        if (pressed_) {
            RECT rc;
            GetClientRect(Handle(), &rc);
            const POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            const bool inside = PtInRect(&rc, p) != FALSE;
            if (inside != pushedIn_) {
                pushedIn_ = inside;
                Invalidate();
            }
        }
        return 0;
    }
    case WM_MOUSELEAVE:
        SetHot(false);
        return 0;
    case WM_LBUTTONDOWN:
        if (!Enabled()) return 0;
        SetCapture(Handle());
        SetPressed(true);
        return 0;
    case WM_LBUTTONUP: {
        if (!pressed_) return 0;
        const bool click = pushedIn_;
        SetPressed(false);
        if (GetCapture() == Handle()) ReleaseCapture();
        // Drawn up before the command runs, which may take long.
        UpdateWindow(Handle());
        if (click) Click();
        return 0;
    }
    case WM_CAPTURECHANGED:
        SetPressed(false);
        return 0;
    case BM_CLICK:
        Click();
        return 0;
    }
    return TImageControl::WndProc(msg, wParam, lParam);
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

// ---------------------------------------------------------------------------
// TListBox

void TListBox::Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options) {
    frame_ = options.Frame;
    // WS_BORDER reserves the one pixel that the flat frame is drawn in.
    CreateControl(parent, L"LISTBOX", 0, WS_VSCROLL | WS_BORDER | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY, id,
                  bounds, L"", options.Visible);
    if (options.ItemHeight > 0)
        SendMessageW(Handle(), LB_SETITEMHEIGHT, 0, MAKELPARAM(parent.Scale(options.ItemHeight), 0));
}

void TListBox::Clear() {
    if (Count() == 0) return;
    SendMessageW(Handle(), LB_RESETCONTENT, 0, 0);
}

void TListBox::Add(std::string_view utf8Line) {
    const std::wstring line = rt::Utf8ToUtf16(utf8Line);
    SendMessageW(Handle(), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
}

int TListBox::Count() const {
    return static_cast<int>(SendMessageW(Handle(), LB_GETCOUNT, 0, 0));
}

void TListBox::SetItemIndex(int index) {
    if (ItemIndex() == index) return;
    SendMessageW(Handle(), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int TListBox::ItemIndex() const {
    return static_cast<int>(SendMessageW(Handle(), LB_GETCURSEL, 0, 0));
}

LRESULT TListBox::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCPAINT) {
        const LRESULT r = DefaultHandler(msg, wParam, lParam);
        if (frame_) {
            HDC dc = GetWindowDC(Handle());
            RECT wr;
            GetWindowRect(Handle(), &wr);
            OffsetRect(&wr, -wr.left, -wr.top);
            PaintFrame(dc, wr, *frame_);
            ReleaseDC(Handle(), dc);
        }
        return r;
    }
    return TFocusControl::WndProc(msg, wParam, lParam);
}

// ---------------------------------------------------------------------------
// TEdit

void TEdit::Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options) {
    CreateControl(parent, L"EDIT", WS_EX_CLIENTEDGE, ES_AUTOHSCROLL | ES_LEFT, id, bounds,
                  rt::Utf8ToUtf16(options.Text), options.Visible);
    // No length limit.
    SendMessageW(Handle(), EM_SETLIMITTEXT, 0, 0);
}

std::string TEdit::GetText() const {
    return rt::Utf16ToUtf8(Text());
}

void TEdit::SetText(std::string_view utf8Text) {
    ChangeText(rt::Utf8ToUtf16(utf8Text));
}

// ---------------------------------------------------------------------------
// TStatusPane

void TStatusPane::Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options) {
    images_ = options.Images;
    frame_ = options.Frame;
    CreateControl(parent, L"TStatusPane", id, bounds, L"", options.Visible);
}

void TStatusPane::SetCaption(std::wstring_view caption) {
    ChangeText(caption);
}

void TStatusPane::SetCaption(std::string_view utf8Caption) {
    SetCaption(rt::Utf8ToUtf16(utf8Caption));
}

TPaneContent TStatusPane::Content() const {
    const std::wstring text = Text();
    const int textWidth = text.empty() ? 0 : TextExtent(text).cx;
    const bool hasImage = images_ && imageIndex_ >= 0 && imageIndex_ < images_->Count();
    return PaneContent(textWidth, hasImage, images_ ? images_->Size() : 0, TApplication::Dpi());
}

void TStatusPane::AdjustWidth() {
    const TPaneContent c = Content();
    const RECT b = BoundsRect();
    if (b.right - b.left != c.Width)
        SetWindowPos(Handle(), nullptr, 0, 0, c.Width, b.bottom - b.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TStatusPane::Paint(HDC dc) {
    RECT rc;
    GetClientRect(Handle(), &rc);
    FillRect(dc, &rc, GetSysColorBrush(COLOR_WINDOW));
    if (frame_) PaintFrame(dc, rc, *frame_);
    const TPaneContent c = Content();
    if (images_ && imageIndex_ >= 0)
        images_->Draw(dc, imageIndex_, c.ImageLeft, CentredOffset(rc.bottom, images_->Size()), true);
    DrawCaption(dc, RECT{c.TextLeft, 0, rc.right, rc.bottom}, Text(), true, DT_VCENTER | DT_LEFT);
}

// ---------------------------------------------------------------------------
// TProgressBar

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

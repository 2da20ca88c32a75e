#include "widgets/Controls.h"

#include "runtime/Utf16.h"
#include "widgets/Application.h"
#include "widgets/Form.h"

namespace widgets {

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

}  // namespace widgets

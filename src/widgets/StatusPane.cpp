#include "widgets/Controls.h"

#include "runtime/Utf16.h"
#include "widgets/Application.h"
#include "widgets/Form.h"

namespace widgets {

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

}  // namespace widgets

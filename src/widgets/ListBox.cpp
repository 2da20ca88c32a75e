#include "widgets/Controls.h"

#include "runtime/Utf16.h"
#include "widgets/Form.h"

namespace widgets {

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

}  // namespace widgets

#include "widgets/Controls.h"

#include "runtime/Utf16.h"
#include "widgets/Form.h"

namespace widgets {

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

}  // namespace widgets

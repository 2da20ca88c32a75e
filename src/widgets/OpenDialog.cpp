#include "widgets/OpenDialog.h"

#include <commdlg.h>

#include <vector>

#include "runtime/Utf16.h"
#include "widgets/WidgetsPortable.h"

namespace widgets {

void TOpenDialog::SetFilter(std::string_view filter) {
    filter_ = rt::Utf8ToUtf16(filter);
}

bool TOpenDialog::Execute(HWND owner) {
    const std::wstring filter = DialogFilter<wchar_t>(filter_);
    // Room for the longest path the system accepts.
    std::vector<wchar_t> file(32768, L'\0');

    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter_.empty() ? nullptr : filter.c_str();
    ofn.nFilterIndex = static_cast<DWORD>(filterIndex_);
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrTitle = Title.empty() ? nullptr : Title.c_str();
    ofn.lpstrDefExt = DefaultExt.empty() ? nullptr : DefaultExt.c_str();
    ofn.Flags = Options;
    if (!GetOpenFileNameW(&ofn)) return false;
    filterIndex_ = static_cast<int>(ofn.nFilterIndex);
    fileName_ = rt::Utf16ToUtf8(file.data());
    return true;
}

}  // namespace widgets

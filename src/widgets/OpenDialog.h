// The system's file-open dialog.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace widgets {

class TOpenDialog {
public:
    std::wstring Title;
    std::wstring DefaultExt;
    DWORD Options = 0;

    // "Description|pattern|..."; kept until set again.
    void SetFilter(std::string_view filter);

    // Shows the dialog owned by owner; false when it was cancelled.
    bool Execute(HWND owner);
    // The chosen file's full path (UTF-8).
    const std::string& FileName() const noexcept { return fileName_; }

private:
    std::wstring filter_;
    int filterIndex_ = 1;
    std::string fileName_;
};

}  // namespace widgets

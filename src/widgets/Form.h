// A top-level window of fixed client size with a single border, a caption
// and a close button only, centred on the desktop when first shown. Closing
// it asks the application to quit.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "widgets/Window.h"

namespace widgets {

class TFileDropTarget;

class TForm : public TWindow {
public:
    // clientWidth/clientHeight in pixels at 96 DPI.
    TForm(const wchar_t* className, std::wstring_view caption, int clientWidth, int clientHeight, int iconId);
    ~TForm() override;

    // Shows the window, centred on the desktop the first time.
    void ShowForm();

    // Set before the form is first shown. Both run from the message loop,
    // where a failure is shown like any other.
    // Runs once, right after the form has been shown for the first time.
    std::function<void()> OnShown;
    // Files dropped on the form (full paths, UTF-8, at least one); the form
    // takes drops only when this is set.
    std::function<void(const std::vector<std::string>& files)> OnDropFiles;

    // Pixels at 96 DPI to the screen's.
    int Scale(int pixels) const;
    TBounds Scale(const TBounds& bounds) const;

    // The ids of the controls that can take the focus, in tab order.
    void SetTabOrder(std::vector<int> controlIds);
    // Moves the focus to the next (or previous) control of the tab order
    // that is visible and enabled.
    void SelectNext(HWND from, bool forward);

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void RestoreFocus();
    void AcceptDrops() noexcept;

    HFONT formFont_ = nullptr;
    TFileDropTarget* dropTarget_ = nullptr;
    bool oleInitialized_ = false;
    bool shown_ = false;
    HWND savedFocus_ = nullptr;
    std::vector<int> tabOrder_;
};

}  // namespace widgets

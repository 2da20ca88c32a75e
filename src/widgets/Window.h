// One small object owning each HWND. Windows of the program's own classes are
// bound to their object at WM_NCCREATE; the system's classes (list box, edit
// box) and the self-contained progress bar are subclassed after creation.
// Either way every message passes Dispatch, where a C++ exception is stopped
// before it can cross back into the system and is shown to the operator.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "widgets/WidgetsPortable.h"

namespace widgets {

// Base of everything that can be the Sender of a command.
class TObject {
public:
    virtual ~TObject() = default;
};

// Colour and width of the flat frame that the list and the status pane share.
struct TFlatFrame {
    int Width = 1;
    int ColorIndex = COLOR_BTNSHADOW;
};

class TWindow : public TObject {
public:
    TWindow() = default;
    ~TWindow() override;
    TWindow(const TWindow&) = delete;
    TWindow& operator=(const TWindow&) = delete;

    HWND Handle() const noexcept { return handle_; }

    // The window's own visible flag (not whether its parent is shown).
    bool Visible() const noexcept;
    void SetVisible(bool visible);

    bool Enabled() const noexcept;
    virtual void SetEnabled(bool enabled);

    // Bounds in the parent's client pixels.
    RECT BoundsRect() const noexcept;
    // The same for any window, such as a sibling control.
    static RECT BoundsRectOf(HWND window) noexcept;

    void SetFont(HFONT font);
    HFONT Font() const noexcept { return font_; }

protected:
    // Creates the window. Classes registered with RegisterOwnClass are bound
    // to this object from WM_NCCREATE on; any other class is subclassed.
    void CreateHandle(const wchar_t* className, DWORD exStyle, DWORD style, HWND parent, int id,
                      const RECT& bounds, std::wstring_view text);

    void DestroyHandle() noexcept;

    // Everything not handled goes to DefaultHandler.
    virtual LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT DefaultHandler(UINT msg, WPARAM wParam, LPARAM lParam);

    static void RegisterOwnClass(const wchar_t* className, UINT style = 0, HICON icon = nullptr,
                                 HICON smallIcon = nullptr, HBRUSH background = nullptr);

    // Sets the window text unless it already reads text; true if it changed.
    bool ChangeText(std::wstring_view text);
    std::wstring Text() const;

    // Fills rect of dc with the parent's background, so that the control's
    // own background looks transparent.
    void PaintParentBackground(HDC dc, const RECT& rect) const;
    // Draws the flat frame just inside rect.
    static void PaintFrame(HDC dc, const RECT& rect, const TFlatFrame& frame);
    // Width and height of text in the window's font.
    SIZE TextExtent(std::wstring_view text) const;
    int Dpi() const;

private:
    static LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                         DWORD_PTR data);
    LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
    void Detach() noexcept;

    HWND handle_ = nullptr;
    HFONT font_ = nullptr;
    bool subclassed_ = false;
};

RECT ToRect(const TBounds& bounds);

// Raises EOSError for the calling thread's last error code.
[[noreturn]] void RaiseLastOSError();

}  // namespace widgets

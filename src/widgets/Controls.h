// The controls a form is built of. Every setter given the value a control already
// holds changes nothing and repaints nothing.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "widgets/Action.h"
#include "widgets/ImageList.h"
#include "widgets/Window.h"

namespace widgets {

class TForm;

// A control of the program's own class that paints itself whole, through an
// off-screen bitmap, on WM_PAINT and WM_PRINTCLIENT alike, and repaints when
// its text or enabled state changes.
class TCustomControl : public TWindow {
protected:
    // Registers className once and creates the control in the form's font.
    void CreateControl(TForm& parent, const wchar_t* className, int id, const TBounds& bounds,
                       std::wstring_view caption, bool visible, DWORD exStyle = 0);

    virtual void Paint(HDC dc) = 0;
    // Runs after the window text has changed, before the repaint is asked.
    virtual void TextChanged() {}
    // Repaints the control, and the see-through controls above it that show
    // part of it.
    void Invalidate();
    // One line of text in the control's font; greyed when not enabled.
    void DrawCaption(HDC dc, RECT rect, std::wstring_view text, bool enabled, UINT format) const;

    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
};

// A custom control that shows one image of an image list (-1: none) and
// answers FWM_GETIMAGEINDEX, also across processes.
class TImageControl : public TCustomControl {
public:
    void SetImageIndex(int index);
    int ImageIndex() const noexcept { return imageIndex_; }

protected:
    // Runs after the image index has changed, before the repaint is asked.
    virtual void ImageChanged() {}
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

    TImageList* images_ = nullptr;
    int imageIndex_ = -1;
};

// Text on the parent's background, aligned in a box of fixed size, or a box
// that sizes itself to its text. A see-through label also shows the controls
// below it where its box overlaps them.
class TLabel : public TCustomControl {
public:
    enum class TAlign { Left, Center };
    struct TOptions {
        std::wstring_view Caption;
        TAlign Align = TAlign::Left;
        bool AutoSize = false;
        bool Transparent = false;
        bool Visible = true;
    };

    void Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options);
    void SetCaption(std::wstring_view caption);
    std::wstring Caption() const { return Text(); }

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void Paint(HDC dc) override;
    void TextChanged() override;

private:
    void AdjustSize();
    void PaintControlsBelow(HDC dc) const;

    TAlign align_ = TAlign::Left;
    bool autoSize_ = false;
};

// Flat tool button: image at the left and caption at its right, centred
// together (or the image alone). Never takes the focus. While disabled it is
// drawn greyed and does nothing.
class TToolButton : public TImageControl, private TActionClient {
public:
    ~TToolButton() override;

    struct TOptions {
        TImageList* Images = nullptr;
        bool ShowCaption = true;
    };

    // Hidden until a command is bound.
    void Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options);
    // Takes over the command's caption, image, enabled and visible state and
    // runs the command when pressed.
    void SetAction(TAction* action);

    void SetCaption(std::wstring_view caption);
    void SetEnabled(bool enabled) override;
    std::wstring Caption() const { return Text(); }

    // Used when no command is bound.
    std::function<void(TObject* Sender)> OnClick;
    void Click();

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void Paint(HDC dc) override;

private:
    void ActionChanged(const TAction& action) override;
    void SetHot(bool hot);
    void SetPressed(bool pressed);

    TAction* action_ = nullptr;
    bool showCaption_ = true;
    bool hot_ = false;
    bool pressed_ = false;   // the left button went down here
    bool pushedIn_ = false;  // ... and the pointer is still inside
};

// A control of a system class that takes the focus; Tab and Shift+Tab move
// the focus along the form's tab order.
class TFocusControl : public TWindow {
protected:
    void CreateControl(TForm& parent, const wchar_t* className, DWORD exStyle, DWORD style, int id,
                       const TBounds& bounds, std::wstring_view text, bool visible);
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    TForm* form_ = nullptr;
};

// Lines of text, one selected at most, framed by the shared flat frame.
class TListBox : public TFocusControl {
public:
    struct TOptions {
        const TFlatFrame* Frame = nullptr;
        int ItemHeight = 0;  // at 96 DPI; 0: the system's
        bool Visible = true;
    };

    void Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options);
    void Clear();
    void Add(std::string_view utf8Line);
    int Count() const;
    void SetItemIndex(int index);
    int ItemIndex() const;

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    const TFlatFrame* frame_ = nullptr;
};

// One line of free text.
class TEdit : public TFocusControl {
public:
    struct TOptions {
        std::string_view Text;  // UTF-8
        bool Visible = true;
    };

    void Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options);
    // UTF-8.
    std::string GetText() const;
    void SetText(std::string_view utf8Text);
};

// Image (if any) at the left and the caption at its right, on the window
// colour inside the shared flat frame; as wide as its content once either
// changes.
class TStatusPane : public TImageControl {
public:
    struct TOptions {
        TImageList* Images = nullptr;
        const TFlatFrame* Frame = nullptr;
        bool Visible = true;
    };

    void Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options);
    void SetCaption(std::wstring_view caption);
    void SetCaption(std::string_view utf8Caption);
    std::wstring Caption() const { return Text(); }

protected:
    void Paint(HDC dc) override;
    void TextChanged() override { AdjustWidth(); }
    void ImageChanged() override { AdjustWidth(); }

private:
    TPaneContent Content() const;
    void AdjustWidth();

    const TFlatFrame* frame_ = nullptr;
};

// Horizontal bar with the percentage written in its middle. The window class
// itself ("TProgressBar", see ProgressBar.cpp) holds the value and answers
// PBM_GETPOS / PBM_SETPOS; this object drives it.
class TProgressBar : public TWindow {
public:
    struct TOptions {
        bool Visible = true;
    };

    void Create(TForm& parent, int id, const TBounds& bounds, const TOptions& options);
    uint16_t GetPosition() const;
    // The bar keeps the value as it stands (16 bits), above 100 too.
    void SetPosition(uint16_t percent);
};

// Registers the progress bar's window class (once).
void RegisterProgressBarClass(HINSTANCE instance);

}  // namespace widgets

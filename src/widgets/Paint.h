// Painting through an off-screen bitmap, so that a control never shows half
// drawn. Ends the paint also when the painting code fails.
#pragma once

#include <windows.h>

namespace widgets {

class TBufferedPaint {
public:
    explicit TBufferedPaint(HWND hwnd);
    ~TBufferedPaint();
    TBufferedPaint(const TBufferedPaint&) = delete;
    TBufferedPaint& operator=(const TBufferedPaint&) = delete;

    // Where to draw: the off-screen bitmap, or the window itself when no
    // bitmap could be had. Client coordinates either way.
    HDC DC() const noexcept { return memory_ ? memory_ : ps_.hdc; }

private:
    HWND hwnd_;
    PAINTSTRUCT ps_{};
    RECT client_{};
    HDC memory_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ oldBitmap_ = nullptr;
};

}  // namespace widgets

#include "widgets/Paint.h"

namespace widgets {

TBufferedPaint::TBufferedPaint(HWND hwnd) : hwnd_(hwnd) {
    BeginPaint(hwnd_, &ps_);
    GetClientRect(hwnd_, &client_);
    if (client_.right <= 0 || client_.bottom <= 0) return;
    memory_ = CreateCompatibleDC(ps_.hdc);
    if (memory_) bitmap_ = CreateCompatibleBitmap(ps_.hdc, client_.right, client_.bottom);
    if (!bitmap_) {
        if (memory_) DeleteDC(memory_);
        memory_ = nullptr;
        return;
    }
    oldBitmap_ = SelectObject(memory_, bitmap_);
}

TBufferedPaint::~TBufferedPaint() {
    if (memory_) {
        const RECT& r = ps_.rcPaint;
        BitBlt(ps_.hdc, r.left, r.top, r.right - r.left, r.bottom - r.top, memory_, r.left, r.top, SRCCOPY);
        SelectObject(memory_, oldBitmap_);
        DeleteObject(bitmap_);
        DeleteDC(memory_);
    }
    EndPaint(hwnd_, &ps_);
}

}  // namespace widgets

// A list of same-sized images with transparency masks, and a greyed copy of
// each for disabled controls.
#pragma once

#include <windows.h>
#include <commctrl.h>

namespace widgets {

class TImageList {
public:
    TImageList() = default;
    ~TImageList();
    TImageList(const TImageList&) = delete;
    TImageList& operator=(const TImageList&) = delete;

    // Takes the images from a strip bitmap (images side by side) and its
    // 1-bit mask (set bits are transparent), both resources of instance.
    void LoadStrip(HINSTANCE instance, int bitmapId, int maskId, int size);

    int Count() const noexcept;
    int Size() const noexcept { return size_; }
    // Draws image index at x, y; greyed when not enabled. Out-of-range
    // indexes draw nothing.
    void Draw(HDC dc, int index, int x, int y, bool enabled) const;

private:
    HIMAGELIST normal_ = nullptr;
    HIMAGELIST greyed_ = nullptr;
    int size_ = 16;
};

}  // namespace widgets

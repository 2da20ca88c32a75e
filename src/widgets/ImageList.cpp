#include "widgets/ImageList.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "widgets/Window.h"
#include "widgets/WidgetsPortable.h"

namespace widgets {

namespace {

// The bitmap's pixels as top-down 0x00RRGGBB.
std::vector<uint32_t> ReadPixels(HDC dc, HBITMAP bitmap, int width, int height) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
    if (!GetDIBits(dc, bitmap, 0, static_cast<UINT>(height), pixels.data(), &bi, DIB_RGB_COLORS))
        RaiseLastOSError();
    return pixels;
}

}  // namespace

TImageList::~TImageList() {
    if (normal_) ImageList_Destroy(normal_);
    if (greyed_) ImageList_Destroy(greyed_);
}

void TImageList::LoadStrip(HINSTANCE instance, int bitmapId, int maskId, int size) {
    size_ = size;
    HBITMAP colour = static_cast<HBITMAP>(
        LoadImageW(instance, MAKEINTRESOURCEW(bitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    HBITMAP mask = static_cast<HBITMAP>(
        LoadImageW(instance, MAKEINTRESOURCEW(maskId), IMAGE_BITMAP, 0, 0, LR_MONOCHROME));
    if (!colour || !mask) {
        const DWORD code = GetLastError();
        if (colour) DeleteObject(colour);
        if (mask) DeleteObject(mask);
        SetLastError(code);
        RaiseLastOSError();
    }
    BITMAP bm{};
    GetObjectW(colour, sizeof bm, &bm);
    const int count = bm.bmWidth / size;

    normal_ = ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, count, 0);
    ImageList_Add(normal_, colour, mask);

    // Greyed copies: each visible pixel's brightness in grey; the masked
    // pixels stay black, as the mask drawing needs.
    HDC screen = GetDC(nullptr);
    std::vector<uint32_t> pixels = ReadPixels(screen, colour, bm.bmWidth, bm.bmHeight);
    const std::vector<uint32_t> transparent = ReadPixels(screen, mask, bm.bmWidth, bm.bmHeight);
    for (size_t i = 0; i < pixels.size(); ++i) {
        if ((transparent[i] & 0xFFFFFF) != 0) {
            pixels[i] = 0;
            continue;
        }
        const uint32_t p = pixels[i];
        const uint32_t level =
            GreyedLevel(static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p));
        pixels[i] = level * 0x010101u;
    }
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = bm.bmWidth;
    bi.bmiHeader.biHeight = -bm.bmHeight;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP grey = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (grey && bits) {
        std::memcpy(bits, pixels.data(), pixels.size() * sizeof(uint32_t));
        greyed_ = ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, count, 0);
        ImageList_Add(greyed_, grey, mask);
    }
    if (grey) DeleteObject(grey);
    DeleteObject(colour);
    DeleteObject(mask);
}

int TImageList::Count() const noexcept {
    return normal_ ? ImageList_GetImageCount(normal_) : 0;
}

void TImageList::Draw(HDC dc, int index, int x, int y, bool enabled) const {
    if (index < 0 || index >= Count()) return;
    HIMAGELIST list = (enabled || !greyed_) ? normal_ : greyed_;
    ImageList_Draw(list, index, dc, x, y, ILD_TRANSPARENT);
}

}  // namespace widgets

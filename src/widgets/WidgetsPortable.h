// The arithmetic of the controls (scaling, placing, filling, greying), kept
// free of <windows.h> so that it is built and tested natively.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace widgets {

// The layout is drawn for 96 pixels per inch.
inline constexpr int kDesignDpi = 96;

// pixels * dpi / 96, rounded half away from zero (as MulDiv): exactly the
// given pixels at 96 DPI.
constexpr int ScaleToDpi(int pixels, int dpi) {
    const long long n = static_cast<long long>(pixels) * dpi;
    constexpr long long half = kDesignDpi / 2;
    return n >= 0 ? static_cast<int>((n + half) / kDesignDpi) : -static_cast<int>((-n + half) / kDesignDpi);
}

struct TBounds {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
    friend constexpr bool operator==(const TBounds&, const TBounds&) = default;
};

constexpr TBounds ScaleToDpi(TBounds b, int dpi) {
    return {ScaleToDpi(b.Left, dpi), ScaleToDpi(b.Top, dpi), ScaleToDpi(b.Width, dpi),
            ScaleToDpi(b.Height, dpi)};
}

// ---------------------------------------------------------------------------
// The window's font.

// Character sets as the system's font calls take them.
inline constexpr uint8_t kDefaultCharset = 1;
inline constexpr uint8_t kCyrillicCharset = 204;

// The character set the window's font asks for under a system whose ANSI
// code page is ansiCodePage: on a Russian system (1251) the default, so the
// bitmap face itself is taken; elsewhere that face may have no Cyrillic, and
// asking for it makes the system map the face to one that has.
constexpr uint8_t FormFontCharset(unsigned ansiCodePage) {
    return ansiCodePage == 1251 ? kDefaultCharset : kCyrillicCharset;
}

// The face asked for: on a Russian system the bitmap face the window was
// made with; elsewhere that face is installed in its Western set only, so
// the face that has the Cyrillic set at every size.
constexpr const wchar_t* FormFontFace(unsigned ansiCodePage) {
    return ansiCodePage == 1251 ? L"MS Sans Serif" : L"Microsoft Sans Serif";
}

// ---------------------------------------------------------------------------
// Placement.

// Where a window of the given size starts when centred in an area: halved
// toward zero, never before the area's start.
constexpr int CentredOrigin(int areaSize, int windowSize) {
    const int offset = (areaSize - windowSize) / 2;
    return offset < 0 ? 0 : offset;
}

// Offset that centres content in a box; negative when the content is wider.
constexpr int CentredOffset(int boxSize, int contentSize) {
    return (boxSize - contentSize) / 2;
}

// The control that takes the focus after `current` (an index into canFocus;
// -1 for none) in tab order, wrapping around; -1 when no control can.
inline int NextTabStop(std::span<const bool> canFocus, int current, bool forward) {
    const int n = static_cast<int>(canFocus.size());
    if (n == 0) return -1;
    int i = current;
    for (int step = 0; step < n; ++step) {
        if (forward)
            i = (i < 0 || i >= n - 1) ? 0 : i + 1;
        else
            i = (i <= 0 || i >= n) ? n - 1 : i - 1;
        if (canFocus[static_cast<size_t>(i)]) return i;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Progress bar.

// Filled part of the inner width: percent * innerWidth / 100 to the nearest
// pixel, an exact half going to the even neighbour; full from 100 on.
constexpr int FilledWidth(uint32_t percent, int innerWidth) {
    if (innerWidth <= 0) return 0;
    if (percent >= 100) return innerWidth;
    const uint64_t n = static_cast<uint64_t>(percent) * static_cast<uint64_t>(innerWidth);
    uint64_t q = n / 100;
    const uint64_t r = n % 100;
    if (r > 50 || (r == 50 && (q & 1) != 0)) ++q;
    return static_cast<int>(q);
}

// "42%": the stored value as it stands, also above 100.
inline std::string PercentText(uint16_t percent) {
    return std::to_string(percent) + "%";
}

// ---------------------------------------------------------------------------
// Status pane: [frame][padding][image][gap][caption][padding][frame].

namespace statuspane {
inline constexpr int kFrame = 1;
inline constexpr int kPadding = 2;  // at 96 DPI
inline constexpr int kGap = 3;      // at 96 DPI
}  // namespace statuspane

struct TPaneContent {
    int ImageLeft;  // meaningful only with an image
    int TextLeft;
    int Width;
};

constexpr TPaneContent PaneContent(int textWidth, bool hasImage, int imageSize, int dpi) {
    const int pad = ScaleToDpi(statuspane::kPadding, dpi);
    const int imageLeft = statuspane::kFrame + pad;
    int textLeft = imageLeft;
    if (hasImage) textLeft += imageSize + (textWidth > 0 ? ScaleToDpi(statuspane::kGap, dpi) : 0);
    return {imageLeft, textLeft, textLeft + textWidth + pad + statuspane::kFrame};
}

// ---------------------------------------------------------------------------
// Flat tool button: image, then caption, centred together.

inline constexpr int kButtonSpacing = 4;  // between image and caption, at 96 DPI

struct TButtonContent {
    int ImageLeft;
    int ImageTop;
    int TextLeft;
};

constexpr TButtonContent ButtonContent(int width, int height, int imageSize, int textWidth, bool showText,
                                       int dpi) {
    const bool text = showText && textWidth > 0;
    const int spacing = text ? ScaleToDpi(kButtonSpacing, dpi) : 0;
    const int block = imageSize + spacing + (text ? textWidth : 0);
    const int imageLeft = CentredOffset(width, block);
    return {imageLeft, CentredOffset(height, imageSize), imageLeft + imageSize + spacing};
}

// Grey level of a pixel in a disabled image: its brightness pressed into a
// middle band, so that a greyed picture still shows on a white background.
constexpr uint8_t GreyedLevel(uint8_t r, uint8_t g, uint8_t b) {
    const int luma = (r * 77 + g * 151 + b * 28) >> 8;  // 0..255
    return static_cast<uint8_t>(96 + luma * 104 / 255);
}

// ---------------------------------------------------------------------------
// File dialog filter: "Text|*.ext|..." becomes the system's list of
// NUL-separated strings. The result holds its closing NUL; its c_str() adds
// the second one that ends the list.
template <class Char>
std::basic_string<Char> DialogFilter(std::basic_string_view<Char> filter) {
    std::basic_string<Char> out(filter);
    for (Char& c : out)
        if (c == Char('|')) c = Char(0);
    out.push_back(Char(0));
    return out;
}

}  // namespace widgets

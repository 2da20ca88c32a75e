// The window's layout arithmetic: DPI scaling, centring, the progress bar's
// fill, the status pane's and tool buttons' content, focus order, greying and
// the dialog filter.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "window/MainLayout.h"
#include "widgets/WidgetsPortable.h"

using namespace widgets;
using namespace std::string_literals;

TEST(Layout, ScaleToDpiRoundsHalfAwayFromZero) {
    struct Row {
        int pixels, dpi, expected;
    };
    const Row rows[] = {
        {346, 96, 346},  {11, 96, 11}, {13, 120, 16},  // 16.25
        {25, 144, 38},                                 // 37.5 up
        {-3, 144, -5},                                 // -4.5 away from zero
        {241, 192, 482}, {1, 72, 1},   {1, 47, 0},     // 0.49
        {0, 144, 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.expected, ScaleToDpi(r.pixels, r.dpi)) << r.pixels << " at " << r.dpi;
}

// The bitmap face in the default set on a Russian system, as the window was
// made for; on every other a face that has the Cyrillic set.
TEST(Layout, FormFontByAnsiCodePage) {
    const std::tuple<unsigned, uint8_t, std::wstring_view> rows[] = {
        {1251, kDefaultCharset, L"MS Sans Serif"},
        {1252, kCyrillicCharset, L"Microsoft Sans Serif"},
        {65001, kCyrillicCharset, L"Microsoft Sans Serif"}};
    for (const auto& [codePage, charset, face] : rows) {
        EXPECT_EQ(charset, FormFontCharset(codePage)) << codePage;
        EXPECT_EQ(face, FormFontFace(codePage)) << codePage;
    }
}

TEST(Layout, EveryPlaceIsExactAt96DpiAndGrowsWithDpi) {
    for (const layout::TPlace& p : layout::kPlaces) {
        EXPECT_EQ(p.Bounds, ScaleToDpi(p.Bounds, 96)) << p.Id;
        const TBounds big = ScaleToDpi(p.Bounds, 144);
        EXPECT_EQ((p.Bounds.Width * 3 + 1) / 2, big.Width) << p.Id;
        EXPECT_EQ(p.Bounds, layout::PlaceOf(p.Id));
    }
    EXPECT_EQ((TBounds{}), layout::PlaceOf(static_cast<TControlId>(0)));
}

TEST(Layout, StackingAndTabOrderNameEachControlOnce) {
    for (const layout::TPlace& p : layout::kPlaces) {
        int seen = 0;
        for (TControlId id : layout::kStacking) seen += id == p.Id;
        EXPECT_EQ(1, seen) << p.Id;
    }
    // The controls that take the focus lie above all others.
    EXPECT_EQ(IDC_FILELIST, layout::kStacking[layout::kStacking.size() - 2]);
    EXPECT_EQ(IDC_KEYEDIT, layout::kStacking.back());
    EXPECT_EQ(IDC_FILELIST, layout::kTabOrder.front());
}

TEST(Layout, CentredOriginHalvesTowardZeroAndNeverGoesNegative) {
    struct Row {
        int area, window, expected;
    };
    const Row rows[] = {
        {1024, 352, 336}, {1023, 352, 335}, {768, 175, 296}, {2048, 352, 848},
        {352, 352, 0},    {351, 352, 0},    {300, 352, 0},   {0, 10, 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.expected, CentredOrigin(r.area, r.window)) << r.area << " " << r.window;
}

TEST(ProgressBar, FilledWidthRoundsHalfToEvenAndIsFullFrom100) {
    struct Row {
        uint32_t percent;
        int inner, expected;
    };
    const Row rows[] = {
        {0, 139, 0},
        {1, 139, 1},
        {42, 139, 58},
        {99, 139, 138},
        {50, 139, 70},  // 69.5: to the even 70
        {50, 137, 68},  // 68.5: to the even 68
        {1, 50, 0},     // 0.5 -> 0
        {3, 50, 2},     // 1.5 -> 2
        {25, 10, 2},    // 2.5 -> 2
        {35, 10, 4},    // 3.5 -> 4
        {100, 139, 139},
        {101, 139, 139},
        {250, 139, 139},
        {65535, 139, 139},
        {0xFFFFFFFF, 139, 139},
        {50, 0, 0},
        {100, -1, 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.expected, FilledWidth(r.percent, r.inner)) << r.percent << "% of " << r.inner;
}

TEST(ProgressBar, PercentTextShowsTheStoredValue) {
    const std::pair<uint16_t, std::string> rows[] = {
        {0, "0%"}, {42, "42%"}, {100, "100%"}, {250, "250%"}, {65535, "65535%"}};
    for (const auto& [value, text] : rows) EXPECT_EQ(text, PercentText(value));
}

TEST(Layout, NextTabStopSkipsControlsThatCannotTakeTheFocus) {
    struct Row {
        std::vector<int> canFocus;
        int current;
        bool forward;
        int expected;
    };
    const Row rows[] = {
        {{1, 0}, -1, true, 0},  // first focus of the window
        {{1, 0}, 0, true, 0},   // key box hidden: the list keeps it
        {{1, 0}, 0, false, 0},  {{1, 1}, 0, true, 1},   {{1, 1}, 1, true, 0},
        {{1, 1}, 0, false, 1},  {{0, 1}, -1, false, 1}, {{0, 1}, -1, true, 1},
        {{0, 0}, -1, true, -1}, {{}, -1, true, -1},     {{1, 1, 1}, 5, true, 0},
    };
    for (const Row& r : rows) {
        std::array<bool, 8> flags{};
        for (size_t i = 0; i < r.canFocus.size(); ++i) flags[i] = r.canFocus[i] != 0;
        EXPECT_EQ(r.expected,
                  NextTabStop(std::span<const bool>(flags.data(), r.canFocus.size()), r.current, r.forward))
            << "current " << r.current << (r.forward ? " forward" : " back");
    }
}

TEST(StatusPane, ContentKeepsCaptionClearOfImageAndFrame) {
    struct Row {
        int text;
        bool image;
        int dpi;
        TPaneContent expected;
    };
    const Row rows[] = {
        {0, false, 96, {3, 3, 6}},   {0, true, 96, {3, 19, 22}},   {50, false, 96, {3, 3, 56}},
        {50, true, 96, {3, 22, 75}}, {50, true, 192, {5, 27, 82}},
    };
    for (const Row& r : rows) {
        const TPaneContent c = PaneContent(r.text, r.image, 16, r.dpi);
        EXPECT_EQ(r.expected.ImageLeft, c.ImageLeft) << r.text << " " << r.image << " " << r.dpi;
        EXPECT_EQ(r.expected.TextLeft, c.TextLeft) << r.text << " " << r.image << " " << r.dpi;
        EXPECT_EQ(r.expected.Width, c.Width) << r.text << " " << r.image << " " << r.dpi;
        if (r.image) {
            EXPECT_GE(c.TextLeft, c.ImageLeft + 16);
        }
        EXPECT_GE(c.Width, c.TextLeft + r.text + statuspane::kFrame);
    }
}

TEST(ToolButton, ImageAndCaptionAreCentredTogether) {
    struct Row {
        int width, height, text;
        bool showText;
        TButtonContent expected;
    };
    const Row rows[] = {
        {81, 25, 40, true, {10, 4, 30}},   // 16 + 4 + 40 = 60 wide
        {81, 25, 0, true, {32, 4, 48}},    // no caption: the image alone
        {25, 25, 24, false, {4, 4, 20}},   // image-only button ignores its caption
        {20, 10, 40, true, {-20, -3, 0}},  // too narrow: overflows evenly
    };
    for (const Row& r : rows) {
        const TButtonContent c = ButtonContent(r.width, r.height, 16, r.text, r.showText, 96);
        EXPECT_EQ(r.expected.ImageLeft, c.ImageLeft) << r.width << " " << r.text;
        EXPECT_EQ(r.expected.ImageTop, c.ImageTop) << r.width << " " << r.text;
        EXPECT_EQ(r.expected.TextLeft, c.TextLeft) << r.width << " " << r.text;
    }
}

TEST(ImageList, GreyedLevelsStayVisibleOnWhite) {
    EXPECT_EQ(96, GreyedLevel(0, 0, 0));
    EXPECT_EQ(200, GreyedLevel(255, 255, 255));
    // The Start image's yellow and orange stay apart and darker than white.
    const int yellow = GreyedLevel(255, 224, 32);
    const int orange = GreyedLevel(224, 112, 0);
    EXPECT_LT(orange, yellow);
    EXPECT_LT(yellow, 220);
    int previous = -1;
    for (int v = 0; v < 256; ++v) {
        const int level =
            GreyedLevel(static_cast<uint8_t>(v), static_cast<uint8_t>(v), static_cast<uint8_t>(v));
        EXPECT_GE(level, previous) << v;
        previous = level;
    }
}

TEST(OpenDialog, FilterBecomesNulSeparatedList) {
    const std::pair<std::string, std::string> rows[] = {
        {"LockFiles|*.lock|AllFiles|*.*", "LockFiles\0*.lock\0AllFiles\0*.*\0"s},
        {"Файлы Hex|*.hex", "Файлы Hex\0*.hex\0"s},
        {"", "\0"s},
    };
    for (const auto& [filter, expected] : rows) EXPECT_EQ(expected, DialogFilter<char>(filter)) << filter;
    const std::u16string wide = DialogFilter<char16_t>(u"A|*.a");
    EXPECT_EQ(u"A\0*.a\0"s, wide);
}

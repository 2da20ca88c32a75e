// The main window's layout in pixels at 96 DPI: the one source of its client
// size, its controls' places, their stacking and the tab order.
#pragma once

#include <array>

#include "window/ControlIds.h"
#include "widgets/WidgetsPortable.h"

namespace layout {

using widgets::TBounds;

inline constexpr int kClientWidth = 346;
inline constexpr int kClientHeight = 150;
inline constexpr int kListItemHeight = 13;

struct TPlace {
    TControlId Id;
    TBounds Bounds;
};

inline constexpr std::array<TPlace, 9> kPlaces{{
    {IDC_FILELABEL, {8, 6, 241, 13}},
    {IDC_FILELIST, {8, 20, 237, 73}},
    {IDC_OPENBUTTON, {248, 18, 81, 25}},
    {IDC_LOCKBUTTON, {248, 56, 25, 25}},
    {IDC_KEYLABEL, {8, 96, 38, 13}},
    {IDC_KEYEDIT, {104, 96, 137, 21}},
    {IDC_STATUSPANE, {8, 124, 42, 20}},  // width follows the content later
    {IDC_PROGRESSBAR, {104, 124, 141, 19}},
    {IDC_STARTBUTTON, {252, 120, 81, 25}},
}};

constexpr TBounds PlaceOf(TControlId id) {
    for (const TPlace& p : kPlaces)
        if (p.Id == id) return p.Bounds;
    return {};
}

// Lowest to highest. The two controls that take the focus lie above the rest.
inline constexpr std::array<TControlId, 9> kStacking{
    IDC_STARTBUTTON, IDC_PROGRESSBAR, IDC_OPENBUTTON, IDC_FILELABEL, IDC_LOCKBUTTON,
    IDC_KEYLABEL,    IDC_STATUSPANE,  IDC_FILELIST,   IDC_KEYEDIT,
};

inline constexpr std::array<TControlId, 2> kTabOrder{IDC_FILELIST, IDC_KEYEDIT};

}  // namespace layout

// What every child control of the widgets starts with. Internal to the
// widget library.
#pragma once

#include <windows.h>

namespace widgets {

inline constexpr DWORD kChildStyle = WS_CHILD | WS_CLIPSIBLINGS;

inline DWORD VisibleStyle(bool visible) {
    return visible ? WS_VISIBLE : 0;
}

}  // namespace widgets

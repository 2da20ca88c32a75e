// Drags files onto a window of another program and drops them there, as
// Explorer does: OLE drag and drop with a CF_HDROP data object, driven by the
// real mouse (the target's drop target sees an ordinary drag).
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>
#include <vector>

namespace e2e {

struct DropResult {
    HRESULT hr = E_FAIL;             // DoDragDrop's result; DRAGDROP_S_DROP when dropped
    DWORD effect = DROPEFFECT_NONE;  // the effect the target reported
};

// Presses the left button over a point of `target` that no other window
// covers, drags `paths` there and lets go once the target has offered to
// take them (or the time is up). Throws when every point of it is covered.
DropResult DropFiles(HWND target, const std::vector<std::wstring>& paths, DWORD ms = 60000);

}  // namespace e2e

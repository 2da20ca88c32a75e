// Child-window identifiers of the main window's controls. The end-to-end
// tests find controls by these numbers, never by caption.
#pragma once

enum TControlId : int {
    IDC_FILELABEL = 101,
    IDC_FILELIST = 102,
    IDC_OPENBUTTON = 103,
    IDC_LOCKBUTTON = 104,
    IDC_KEYLABEL = 105,
    IDC_KEYEDIT = 106,
    IDC_STATUSPANE = 107,
    IDC_PROGRESSBAR = 108,
    IDC_STARTBUTTON = 109,
};

// Messages that the custom controls answer, also across processes.
//   FWM_GETIMAGEINDEX  -> image index of a tool button or the status pane (-1: none)
//   PBM_GETPOS         -> the progress bar's percentage (as the common control)
enum : unsigned {
    FWM_GETIMAGEINDEX = 0x0400 + 0x200,  // WM_USER + 0x200
};

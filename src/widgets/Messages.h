// Messages that the program's own controls answer, also across processes.
//   FWM_GETIMAGEINDEX  -> image index of a tool button or the status pane (-1: none)
//   PBM_GETPOS         -> the progress bar's percentage (as the common control)
// and that a form posts to itself:
//   FWM_SHOWN          -> runs OnShown once the form is first shown
//   FWM_DROPFILES      -> runs OnDropFiles with the files of the last drop
#pragma once

enum : unsigned {
    FWM_GETIMAGEINDEX = 0x0400 + 0x200,  // WM_USER + 0x200
    FWM_SHOWN,
    FWM_DROPFILES,
};

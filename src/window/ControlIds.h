// Child-window identifiers of the main window's controls. The end-to-end
// tests find controls by these numbers, never by caption, and read them with
// the widgets' own messages.
#pragma once

#include "widgets/Messages.h"

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

// Why the window cannot start without its DFU.dll, in words. The library is
// looked for only where the program trusts it (LoadedDevice.h); a DFU.dll in
// the folder the program was started from (the demo's simulated one reports
// every download as done) is passed by, and the box says so.
#pragma once

#include <string>
#include <vector>

#include "LoadedDevice.h"

// The current folder's DFU.dll when that folder is none of folders (so the
// search passed it by); empty otherwise.
std::wstring PassedStartFolderLibrary(const std::vector<std::wstring>& folders);

// The box's text for a binding without its device: which DFU.dll (or that
// none was found), the system's text for the failure, and passed, when not
// empty, named as not used, with the reason.
std::wstring UnboundLibraryText(const TDeviceBinding& binding, const std::wstring& passed);

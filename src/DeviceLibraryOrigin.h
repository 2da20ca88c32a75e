// Where the load-time DFU.dll came from. When the program's folder has none,
// Windows' search goes on to the current folder, so a DFU.dll left in the
// folder the program was started from (the demo's simulated one reports every
// download as done) would be used without a word.
#pragma once

#include <string>

// The full path of the bound DFU.dll when it came from the current folder
// and that folder is neither the program's, a system folder nor one on PATH;
// empty otherwise.
std::wstring DeviceLibraryFromStartFolder();

// The refusal's text for such a library at path.
std::wstring StartFolderLibraryText(const std::wstring& path);

// The device library loaded by its full path from folders the program
// trusts, never from the current folder: the window binds it as it starts,
// fwimage when a download asks for it. Windows only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Device.h"
#include "runtime/Exceptions.h"

// Leaves the current folder (and, where the system can, PATH) out of the
// search for every library loaded from now on, DFU.dll's own dependencies
// included. Once per process is enough; later calls change nothing.
void NarrowLibrarySearch();

// What looking for DFU.dll in folders, in their order, came to.
struct TDeviceBinding {
    std::unique_ptr<TDevice> Device;    // loaded, with its four names
    std::wstring Path;                  // the first DFU.dll found; empty when no folder has one
    uint32_t Code = 0;                  // the system's error code when it did not bind
    const char* MissingName = nullptr;  // the entry point it lacks
    bool Simulated = false;             // its version resource says it is the simulated one
};

// Loads the first DFU.dll of folders by its full path, its dependencies
// looked for in its own folder and the system's, after NarrowLibrarySearch.
// Nothing of a DFU.dll in any other folder runs.
TDeviceBinding BindDevice(const std::vector<std::wstring>& folders);

// The folders the window looks in: its own, the system's (and Windows'), and
// the absolute folders of PATH, in that order.
std::vector<std::wstring> WindowLibraryFolders();

// The library could not be found or loaded, or lacks one of the four names.
class EDeviceLoadError : public rt::Exception {
public:
    using rt::Exception::Exception;
};

// fwimage's library: DFU.dll from the program's own folder, else from the
// system folder, bound as BindDevice binds it. Raises EDeviceLoadError
// naming the file and what is missing; nothing of the library has been
// called then. simulated: as TDeviceBinding's.
std::unique_ptr<TDevice> LoadDevice(bool& simulated);

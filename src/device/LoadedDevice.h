// The device library loaded when it is needed, so that a program can do its
// other work on machines without it. Windows only.
#pragma once

#include <memory>

#include "Device.h"
#include "runtime/Exceptions.h"

// The library could not be found or loaded, or lacks one of the four names.
class EDeviceLoadError : public rt::Exception {
public:
    using rt::Exception::Exception;
};

// Loads DFU.dll from the program's own folder, else from the system folder,
// never from the current folder (a planted copy there must not run), and
// binds its four names. Raises EDeviceLoadError naming the file and what is
// missing; nothing of the library has been called then.
std::unique_ptr<TDevice> LoadDevice();

// The device library bound through the import library: the program does not
// start without DFU.dll and imports exactly its four names.
#pragma once

#include "Device.h"

TDevice& LinkedDevice();

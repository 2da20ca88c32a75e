// fwimage download from its first library call to its ending. Windows.
#pragma once

#include "ConsoleControl.h"
#include "DownloadCommand.h"
#include "DownloadEndings.h"
#include "FirmwareImage.h"
#include "device/Device.h"

// Runs the transfer on a thread of its own and watches it; returns the
// exit code of its ending. An ending that leaves the library working (a
// crash, --timeout, the third Ctrl+C) ends the process here instead, with
// that code, without waiting for the library.
int RunTransfer(const TDownloadRequest& request, TDevice& device, const TImageInfo& info,
                TConsoleControl& control, const TEndingSink& sink);

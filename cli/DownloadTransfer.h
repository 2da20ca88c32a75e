// fwimage download from its first library call to its ending. Windows.
#pragma once

#include <functional>

#include "ConsoleControl.h"
#include "DownloadCommand.h"
#include "DownloadEndings.h"
#include "FirmwareImage.h"
#include "device/Device.h"

// Runs the transfer on a thread of its own and watches it; returns the
// exit code of its ending. An ending that leaves the library working (a
// crash, --timeout, the third Ctrl+C) ends the process here instead, without
// waiting for the library, with the code that lastWords gives for the
// ending's: the command's last say.
int RunTransfer(const TDownloadRequest& request, TDevice& device, const TImageInfo& info,
                TConsoleControl& control, const TEndingSink& sink, const std::function<int(int)>& lastWords);

// fwimage download: one image into the instrument from the console. One
// implementation per platform; only the Windows program can download.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "download/ImageIdentity.h"

struct TDownloadRequest {
    std::string Image;
    bool Yes = false;    // no question
    bool Quiet = false;  // only the outcome
    std::optional<std::string> LogFile;
    // --timeout: the longest the library may work; none: no limit.
    std::optional<unsigned> TimeoutSeconds;
    // --expect-sha256, --expect-sum: any other image is refused.
    TImageExpectation Expected;
    // --repeat: one instrument after another, each confirmed with Enter.
    bool Repeat = false;
    // --json: JSON Lines events on the standard output instead of its lines.
    bool Json = false;
    // --allow-empty: an image without data is sent as the window sends it.
    bool AllowEmpty = false;
    // --serial: the one unit's serial number, for its record.
    std::optional<std::string> Serial;
    // --ask-serial: each unit's serial asked on the console before it starts.
    bool AskSerial = false;
};

// Returns the exit code (kExit... in ExitCodes.h).
int RunDownloadCommand(const TDownloadRequest& request, std::ostream& out, std::ostream& err);

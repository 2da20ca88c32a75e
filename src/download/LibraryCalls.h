// One row per library call: the name DFU.dll exports it by, the ending when
// it fails and the ending when the process dies inside it. The session, the
// library's process and the window's crash record all read it. Portable.
#pragma once

#include <optional>
#include <string_view>

#include "download/Download.h"
#include "download/DownloadEndings.h"

struct TLibraryCallRow {
    TLibraryCall Call;
    // As DFU.dll exports it; "DFU.dll" for its loading, empty for None.
    std::string_view Name;
    // Its zero result (the loading: a library that does not bind).
    std::optional<TEnding> Failed;
    // A death inside it; none for a reading, which takes the step's.
    std::optional<TEnding> Crashed;
};

const TLibraryCallRow& LibraryCallRow(TLibraryCall call) noexcept;

// A death inside call while the transfer is inside step: a reading's is
// the step's, and a reading between the steps the loader's.
TEnding CrashedEnding(TLibraryCall call, TLibraryCall step) noexcept;

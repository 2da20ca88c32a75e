// fwimage download's production log: the record and the file are shared with
// the window (DownloadRecord.h, DownloadLogFile.h); what fwimage adds is the
// room a record of any of its endings can take.
#pragma once

#include <string_view>

#include "download/DownloadLogFile.h"
#include "download/DownloadRecord.h"
#include "Version.h"

// The record's tool column.
inline constexpr std::string_view kFwimageTool = "fwimage " FWL_VERSION_TEXT;

// The most a record of the image at fullPath can take, line end included,
// whatever its size and ending: the room the log must have before the
// library is called.
size_t LongestDownloadLogRecord(std::string_view fullPath);

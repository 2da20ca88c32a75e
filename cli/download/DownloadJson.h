// fwimage download --json: JSON Lines on the standard output, one event a
// line, so that a script reads the download as it goes. Portable.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "image/FirmwareImage.h"
#include "runtime/Workstation.h"

// Which unit, where and by whom: its serial (none when not given), the
// computer's name and the signed-in user's, as its record names them.
struct TUnitTrace {
    std::optional<std::string> Serial;
    std::string Station = rt::StationName();
    std::string Operator = rt::OperatorName();
};

// {"event":"image"}: the path as given, its full path and name, size, sum
// (as the summary shows it) and the SHA-256 of the bytes the instrument
// receives, when known.
void TellImage(std::ostream& json, std::string_view path, std::string_view fullPath, const TImageInfo& info,
               std::string_view sha256);
// {"event":"error"}: what stopped the download before its first unit (the
// image or the log not opened), the image's path as given beside it; a
// failure of the log (logPath given) names the log too, as given and in
// full. Its "ended" event follows.
void TellError(std::ostream& json, std::string_view path, std::exception_ptr failure,
               const std::string* logPath = nullptr);
// {"event":"searching"} and {"event":"loading","percent":N}.
void TellSearching(std::ostream& json);
void TellLoading(std::ostream& json, uint16_t percent);
// {"event":"ended"}: the outcome as the log names it (null when it leaves
// no record), the ending's line and the exit code; the unit in a station loop;
// the serial (null when none), the station and the operator.
void TellEnded(std::ostream& json, std::string_view outcome, std::string_view line, int exitCode,
               unsigned unit, const TUnitTrace& trace);
// {"event":"summary"} of a station loop.
void TellSummary(std::ostream& json, unsigned done, unsigned failed, int exitCode);

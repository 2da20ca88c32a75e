// The record of one download in a production log, the same from fwimage and
// from the window: one tab-separated line per download. A new log starts with
// a byte-order mark and a header row naming the columns (Size and Sum as
// hexadecimal) and ends its lines with CR LF, so that Excel and Notepad open
// it as it is; an existing one is appended to in the form it has. Columns
// are only ever added at the end, so the lines of an older log keep their
// meaning.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "download/Download.h"
#include "image/ExitCodes.h"
#include "runtime/Workstation.h"

struct TDownloadRecord {
    std::string UtcTime;  // 2026-12-07T12:00:00Z
    std::string FullPath;
    int64_t Size = 0;
    uint16_t Sum = 0;
    std::string_view Outcome;  // the ending's name
    int ExitCode = 0;
    std::string Sha256;  // of the bytes sent, 64 hexadecimal digits
    // Whole seconds from the confirmation (or --yes) to the ending; 0 when
    // nothing was confirmed. Whole, so that no spreadsheet takes it for a date.
    uint64_t Seconds = 0;
    std::string_view Tool;         // the program and its version: "fwimage 1.2.3"
    std::optional<unsigned> Unit;  // the unit's number in a station loop
    std::string Serial = {};       // the unit's serial number; empty when none was given
    // Where and by whom: a record is made on the computer it is written from.
    std::string Station = rt::StationName();
    std::string Operator = rt::OperatorName();
};

// Without the line end.
std::string DownloadRecordText(const TDownloadRecord& record);

// The record's tool column: the program and its version, marked when the
// library that served the download says of itself that it is simulated.
std::string ToolColumn(std::string_view program, bool simulatedLibrary);

// The record's SHA-256 column and info --digest's: of the bytes the
// instrument receives, a .lock file's as they are, since nothing unscrambles
// one and the file does not name its key.
std::string ImageSha256(const TImageInfo& info);

std::string UtcTimeText(std::chrono::system_clock::time_point time);
// Rounded to the nearest second.
uint64_t WholeSeconds(std::chrono::steady_clock::duration duration);

// Whether a file whose first bytes are head (up to kLogHeadBytes of them;
// none for an empty file) is a log: empty, or starting, after an optional
// byte-order mark, with the header's first six names (an older log's
// included) or with a line whose first six columns are a record's. Nothing
// else is ever written to: a log named by mistake may be a firmware image.
bool IsDownloadLog(std::string_view head);
// Whether line's first six columns are a record's, as IsDownloadLog judges them.
bool IsRecordStart(std::string_view line);
// Enough for a first record of the longest path Windows takes.
inline constexpr size_t kLogHeadBytes = 128 * 1024;

// How records are added to a log, judged from its size, its first bytes and
// its last byte.
struct TLogForm {
    bool NewFile = true;
    bool Crlf = true;
    bool LineOpen = false;  // the last line has no line end yet
};
TLogForm LogFormOf(uint64_t size, std::string_view head, char last);

// What goes into the log when it is opened (a new one's mark and header, an
// open line's end), and with each record.
std::string LogOpeningText(const TLogForm& form);
std::string LogRecordText(const TLogForm& form, std::string_view record);

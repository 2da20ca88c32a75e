// The production log read back: its lines one at a time, each judged a
// record, the header row, a blank line or something else. Every form the log
// has had is read: the first six columns alone, the SHA-256, seconds, tool
// and unit after them, and the serial, station and operator after those;
// with or without a byte-order mark, with LF or CR LF line ends. Columns are
// only ever added at the end, so a record is read by its columns' places.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/FileIO.h"

// One record's columns that a report reads; views into the line.
struct TLogRecord {
    std::string_view Time;  // 2026-12-07T12:00:00Z
    std::string_view Path;  // the image's full path
    std::string_view Outcome;
    std::string_view Sha256;   // empty in records older than the column
    std::string_view Serial;   // empty when none was given, or older
    std::string_view Station;  // empty in records older than the column
};

enum class TLineKind { Record, Header, Blank, NotARecord };

struct TLogLine {
    TLineKind Kind = TLineKind::Blank;
    TLogRecord Record;
    // NotARecord: why, as "LOG:LINE: " is followed on the error output.
    std::string Why;
};

// line without its line end; a byte-order mark before it is allowed.
TLogLine ReadLogLine(std::string_view line);

// Outcomes of downloads that sent nothing to the instrument: no library call
// was made, or none got as far as the instrument.
bool SendsNothing(std::string_view outcome);

// The time column as one number that orders like the time: YYYYMMDDhhmmss.
int64_t TimeNumber(std::string_view time);

// A path's last part, after the last "\" or "/".
std::string_view FileNamePart(std::string_view path);

// A log's lines from its file, read in blocks: memory stays one block and
// the longest line, whatever the log's size.
class TLogLineReader {
public:
    // Raises the failure to open fileName (EFOpenError).
    explicit TLogLineReader(const std::string& fileName);
    // The next line without its end (CR LF or LF); false at the end. The view
    // lasts until the next call. A read failure raises EReadError.
    bool Next(std::string_view& line);
    uint64_t LineNumber() const { return lineNumber_; }
    // The first bytes, up to what the first read brought, for IsDownloadLog.
    std::string_view Head();

private:
    bool Fill();

    rt::TReadFile file_;
    std::string buffer_;
    size_t at_ = 0;
    bool ended_ = false;
    uint64_t lineNumber_ = 0;
};

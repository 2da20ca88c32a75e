// The production log of fwimage download: one record per download, tab-
// separated. A new log starts with a byte-order mark and a header row and
// ends its lines with CR LF, so that Excel and Notepad open it as it is; an
// existing one is appended to in the form it has.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FirmwareImage.h"

// UTC time, full path, size and sum as the summary shows them, outcome, exit
// code; without the line end.
std::string DownloadLogRecord(std::string_view utcTime, std::string_view fullPath, const TImageInfo& info,
                              std::string_view outcome, int exitCode);

// The most a record of the image at fullPath can take, line end included,
// whatever its size and ending: the room the log must have before the
// library is called.
size_t LongestDownloadLogRecord(std::string_view fullPath);

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

// The log file (Windows): opened, and proved able to take a record, before
// the library is called.
class TDownloadLogFile {
public:
    // Raises the failure to open it, to write its header, or to find room
    // for roomNeeded more bytes; also for a read-only file.
    TDownloadLogFile(const std::string& fileName, size_t roomNeeded);
    ~TDownloadLogFile();
    TDownloadLogFile(const TDownloadLogFile&) = delete;
    TDownloadLogFile& operator=(const TDownloadLogFile&) = delete;

    // The failure's text when the record could not be written.
    std::optional<std::string> Append(std::string_view record) noexcept;

private:
    void Prove(size_t roomNeeded);

    std::string name_;
    void* handle_;
    TLogForm form_;
};

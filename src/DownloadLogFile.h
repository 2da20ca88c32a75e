// The production log's file (Windows): opened, and proved able to take a
// record, before the record is due.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "DownloadRecord.h"
#include "runtime/Exceptions.h"

// "Cannot write the log file "%s": %s"
class ELogWriteError : public rt::Exception {
public:
    using rt::Exception::Exception;
};

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

// Opens the log, appends record (none: only proves the log) and closes it
// again, so that a program open for days neither keeps others from the file
// nor holds on to a share that went away. The failure's text, as the
// failure display shows it, when it could not.
std::optional<std::string> AppendToDownloadLog(const std::string& fileName, std::string_view record) noexcept;

// The production log's file: its path and its first bytes judged (portable),
// then (Windows) the file opened, and proved able to take a record, before
// the record is due.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "download/DownloadRecord.h"
#include "runtime/Exceptions.h"

// "Cannot write the log file "%s": %s"
class ELogWriteError : public rt::Exception {
public:
    using rt::Exception::Exception;
};

// "Cannot write the log file "%s": %s" for a path or a file that is no log:
// a usage error, nothing was opened for writing.
class ELogRefused : public ELogWriteError {
public:
    using ELogWriteError::ELogWriteError;
};

// The reserved device name (upper case: "CON", "COM1", "CONOUT$") that
// path's last part stands for on Windows, whatever its extension and
// trailing dots and blanks; empty when none.
std::string ReservedDeviceName(std::string_view path);

// Why logPath may not take the records of a download of imagePath (empty:
// no image yet): ELogRefused's text; none when it may. A device, an image's
// extension (.hex, .bin, .lock), or the image itself under any name.
std::optional<std::string> LogPathRefusal(const std::string& logPath, const std::string& imagePath);

// ELogRefused's text for an existing file that IsDownloadLog refuses.
std::string NotALogText(const std::string& logPath);

// Every writer of a log holds an exclusive lock on this byte from its move
// to the end until its record is written: past the end of any file a volume
// holds, and below what a 64-bit signed offset of a share's server takes.
inline constexpr uint64_t kLogLockOffset = uint64_t{1} << 62;

// How an open log (a HANDLE) ends its lines, from its first bytes and its
// last; head, when given, receives those first bytes. Windows.
TLogForm OpenLogForm(void* log, std::string* head = nullptr);

class TDownloadLogFile {
public:
    // Raises ELogRefused for LogPathRefusal's cases and a file that is not a
    // log, before anything is written; else the failure to open it, to write
    // its header, or to find room for roomNeeded more bytes; also for a
    // read-only file. Sharing and lock violations are retried for about 2 s.
    TDownloadLogFile(const std::string& fileName, size_t roomNeeded, const std::string& imagePath = {});
    ~TDownloadLogFile();
    TDownloadLogFile(const TDownloadLogFile&) = delete;
    TDownloadLogFile& operator=(const TDownloadLogFile&) = delete;

    // The failure's text when the record could not be written. Written at
    // the file's end under a lock that other writers of the log take too,
    // so that stations sharing a log on a network folder never mix records.
    std::optional<std::string> Append(std::string_view record) noexcept;

private:
    void Prove(size_t roomNeeded);
    // 0 when text was written at the end; else the system's code, and the
    // end is set back to where it was, so that no part of text stays: only
    // under the writers' lock (locked), since another writer's record may
    // follow otherwise. partial: text may have left a part after all.
    uint32_t WriteAtEnd(std::string_view text, bool locked, bool& partial);
    // The failure's text for code, saying when a part may have stayed.
    std::string WriteFailureText(uint32_t code, bool partial) const;

    std::string name_;
    void* handle_;
    TLogForm form_;
};

// A write that fails part of the way, for tests: the first CutAfter bytes
// reach the file, then the volume is full; RollbackFails: setting the end
// back fails as well. Windows; none in the product.
struct TLogWriteFault {
    size_t CutAfter = 0;
    bool RollbackFails = false;
};
extern const TLogWriteFault* LogWriteFault;

// Opens the log, appends record (none: only proves the log) and closes it
// again, so that a program open for days neither keeps others from the file
// nor holds on to a share that went away. The failure's text, as the
// failure display shows it, when it could not.
// imagePath: the image of the download (empty: none yet), which is never the log.
std::optional<std::string> AppendToDownloadLog(const std::string& fileName, std::string_view record,
                                               const std::string& imagePath = {}) noexcept;

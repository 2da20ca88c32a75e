// The --log record of a download that its library call does not let end: a
// crash on any thread of the process while a call runs (`…-crashed` for that
// call's step), or the end of the session while a call runs (`closed`).
// Everything the record needs is made ready before the first call, the log
// opened included, so that writing it takes only system calls: a crashed
// process may hold the heap's lock. Windows; the window's.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "download/Download.h"

// Sets the process-wide filter that writes a crash's record. Once, after the
// library has been loaded (its DllMain may set a filter of its own).
void InstallCallRecordFilter();

// Makes the records of the download about to call the library ready: sent is
// the image as it goes, yes when it was confirmed. Nothing is made without a
// log, or when the log cannot be opened now (the download's own record then
// tells why). Also ends what the last download made ready.
void PrepareCallRecord(const std::string& logFile, const TImageInfo& sent, const std::string& sha256,
                       std::chrono::steady_clock::time_point yes, std::string_view tool);

// Lets the log go once the download's calls are over.
void ReleaseCallRecord() noexcept;

// For one library call of step: a crash or the end of the session meanwhile
// writes the record. Not after a record has been written for this download.
class TCallRecordArm {
public:
    explicit TCallRecordArm(TLibraryCall step) noexcept;
    ~TCallRecordArm();
    TCallRecordArm(const TCallRecordArm&) = delete;
    TCallRecordArm& operator=(const TCallRecordArm&) = delete;
};

// The session ends: writes `closed` when a call runs. Any thread.
void WriteClosedRecord() noexcept;

// A record of this download has been written here: its ending is told.
bool CallRecordWritten() noexcept;

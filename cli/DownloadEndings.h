// Every way fwimage download can end, in one table: the line it leaves, the
// stream the line goes to, the name its record gives it in the log and the
// exit code. Portable, so the rules are checked without a console.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "Download.h"
#include "ExitCodes.h"

enum class TEnding {
    Done,
    LoaderRefused,    // DFU_Reset_To_ISP gave 0
    TransferFailed,   // DFU_Download gave 0
    ReturnFailed,     // DFU_Reset_To_AP gave 0
    LoaderCrashed,    // a crash inside DFU_Reset_To_ISP
    TransferCrashed,  // ... DFU_Download
    ReturnCrashed,    // ... DFU_Reset_To_AP
    Declined,         // not confirmed
    NotAsked,         // no console to ask on and no --yes
    NotOpened,        // the image or the log could not be opened: nothing to record in
    LogRefused,       // --log names no log (an image, a device, another file): nothing written
    Empty,
    NoLibrary,
    NoThread,
    Interrupted,  // Ctrl+C (or the console closed) before the first library call
    Closed,       // the console closed while the library works
    TimedOut,     // --timeout passed while the library works
    Abandoned,    // the third Ctrl+C while the library works
    WrongImage,   // not the image --expect-sha256 or --expect-sum names
    NoStation,    // --repeat without a console to prompt on
    RecordLost,   // the record of any other ending could not be written
};

struct TEndingRow {
    TEnding Ending;
    // "{}" stands for the case's detail: a failure's text, an exception code.
    std::string_view Line;
    bool ToError;
    // Empty: the ending leaves no record.
    std::string_view LogName;
    int ExitCode;
};

const TEndingRow& EndingRow(TEnding ending) noexcept;

// The ending of a transfer that ended, and of a crash inside the step it was
// in (outside a call: the snapshot's, which counts as a refused loader mode).
TEnding EndingOf(TDownloadOutcome outcome) noexcept;
TEnding CrashEndingOf(TDownloadStep step) noexcept;

// An exception code as a crash's line shows it: eight hexadecimal digits.
std::string ExceptionCodeText(uint32_t code);

// Where endings are told and recorded. Record appends the log's record and
// gives the failure's text when it could not; null when there is no log.
// Json, when set, takes the events instead of Out's lines (Out discards
// then); Unit numbers the units of a station loop, 0 outside one.
struct TEndingSink {
    std::ostream& Out;
    std::ostream& Err;
    std::function<std::optional<std::string>(std::string_view logName, int exitCode)> Record;
    std::ostream* Json = nullptr;
    unsigned Unit = 0;
};

// Tells the ending, records it and returns the command's exit code: the
// ending's, or RecordLost's when its record could not be written.
int ConcludeDownload(TEnding ending, std::string_view detail, const TEndingSink& sink) noexcept;

// A station loop's units by how they ended.
struct TStationTally {
    unsigned Done = 0;
    unsigned Failed = 0;
    int LastFailedCode = kExitDone;
    void Add(int unitCode) noexcept;
};

// Whether a unit's exit code lets the loop go on to the next instrument:
// only outcomes of that one instrument do.
bool StationGoesOn(int unitCode) noexcept;

// "Units done: 2, units failed: 1", between units.
std::string StationCountersLine(const TStationTally& tally);
inline constexpr std::string_view kStationPrompt =
    "Connect the next instrument and press Enter, or Ctrl+C to finish: ";

// Tells the loop's summary and returns the command's exit code: 0 when
// every unit ended done, else the last failed unit's.
int ConcludeStation(const TStationTally& tally, const TEndingSink& sink) noexcept;

// How fwimage download tells and records an ending of the table
// (DownloadEndings.h), and a station loop's tally. Portable, so the rules are
// checked without a console.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "download/DownloadEndings.h"
#include "download/DownloadJson.h"

// An exception code or an exit code as a crash's line shows it: eight
// hexadecimal digits.
std::string ExceptionCodeText(uint32_t code);

// The ending's line, in a station loop its station line where it has one:
// each "{}" of its row replaced by the next detail.
std::string EndingLine(TEnding ending, std::initializer_list<std::string_view> details, bool station = false);

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
    // The unit's serial, station and operator, for its ended event.
    TUnitTrace Trace = {};
};

// Tells the ending, records it and returns the command's exit code: the
// ending's, or RecordLost's when the record of a done unit could not be
// written. tail follows the line, in its JSON text too; the record stays.
int ConcludeDownload(TEnding ending, std::initializer_list<std::string_view> details,
                     const TEndingSink& sink, std::string_view tail = {}) noexcept;

// A station loop's units by how they ended.
struct TStationTally {
    unsigned Done = 0;
    unsigned Failed = 0;
    int LastFailedCode = kExitDone;
    void Add(int unitCode) noexcept;
};

// "Приборов загружено: 2, с ошибкой: 1", between units.
std::string StationCountersLine(const TStationTally& tally);
// After a unit whose library was lost, with the counters.
std::string UnitNeedsAttentionLine(unsigned unit);
inline constexpr std::string_view kStationPrompt =
    "Подключите следующий прибор и нажмите Enter; Ctrl+C — закончить: ";

// Tells the loop's summary and returns the command's exit code: 0 when
// every unit ended done, else the last failed unit's.
int ConcludeStation(const TStationTally& tally, const TEndingSink& sink) noexcept;

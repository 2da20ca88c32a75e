// The counts of a report on production logs, per image, per station, per
// day (UTC) and over all: records are added one at a time, in any order, and
// memory grows with the groups and the units, never with the records.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "report/LogLines.h"

struct TReportCounts {
    uint64_t Attempts = 0;  // records that sent something to the instrument
    uint64_t Done = 0;
    // Distinct serials among the attempts; an attempt without a serial is a
    // unit of its own.
    uint64_t Units = 0;
    uint64_t DoneUnits = 0;       // units with a done attempt
    uint64_t FirstPassUnits = 0;  // units whose earliest attempt is done
    // Every record's outcome, those that sent nothing included, by name.
    std::vector<std::pair<std::string, uint64_t>> Outcomes;

    // Per cent of the units, one decimal; none without units.
    std::optional<double> FirstPassYield() const;
    std::optional<double> FinalYield() const;
};

// The counts of one group of records.
class TReportGroup {
public:
    // serial: the record's unit among all the report's serials, or kNoSerial.
    void Add(const TLogRecord& record, int64_t time, uint32_t serial);
    TReportCounts Counts() const;

    static constexpr uint32_t kNoSerial = UINT32_MAX;

private:
    // A unit's earliest attempt, and whether any attempt was done.
    struct TUnit {
        int64_t FirstTime;
        bool FirstDone;
        bool AnyDone;
    };
    uint64_t attempts_ = 0, done_ = 0;
    uint64_t lone_ = 0, loneDone_ = 0;  // attempts without a serial
    std::vector<std::pair<std::string, uint64_t>> outcomes_;
    std::unordered_map<uint32_t, TUnit> units_;
};

struct TImageRow {
    std::string Sha256;  // empty: records without one, grouped by file name
    std::string Name;    // the file's name in the latest record
    TReportCounts Counts;
};

class TLogReport {
public:
    // Days as YYYY-MM-DD, both inclusive; none: no bound.
    TLogReport(std::optional<std::string> since = {}, std::optional<std::string> until = {});
    // A record outside the days is left out.
    void Add(const TLogRecord& record);

    uint64_t Records() const { return records_; }
    // In the order of their earliest record.
    std::vector<TImageRow> Images() const;
    // By name (records without a station first, named ""), and by day.
    std::vector<std::pair<std::string, TReportCounts>> Stations() const;
    std::vector<std::pair<std::string, TReportCounts>> Days() const;
    TReportCounts Total() const { return total_.Counts(); }

private:
    struct TImage {
        TReportGroup Group;
        int64_t FirstTime;
        int64_t NameTime;
        std::string Name;
    };
    std::optional<std::string> since_, until_;
    uint64_t records_ = 0;
    std::unordered_map<std::string, uint32_t> serials_;
    std::unordered_map<std::string, TImage> images_;  // by SHA-256, or "\t" and the file's name
    std::map<std::string, TReportGroup, std::less<>> stations_, days_;
    TReportGroup total_;
};

// Whether text is a day as --since and --until take it: YYYY-MM-DD, a date
// of the calendar.
bool IsReportDay(std::string_view text);

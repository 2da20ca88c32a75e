// A download's record made before its ending is known, so that it can be
// finished and written where no memory may be asked for: a crashed process
// may hold the heap's lock. Everything but its time and seconds is laid out
// beforehand, in the log's form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "download/DownloadRecord.h"

// A UTC moment as the system gives it, without the heap.
struct TRecordTime {
    int Year, Month, Day, Hour, Minute, Second;
};

class TPreparedRecord {
public:
    TPreparedRecord() = default;
    // record's UtcTime and Seconds are filled in by Finish.
    TPreparedRecord(const TDownloadRecord& record, const TLogForm& form);

    // The bytes that append the record to the log (what opening the log
    // would add first included) with time and seconds, in the object's own
    // buffer until the next call. Asks for no memory.
    std::string_view Finish(const TRecordTime& time, uint64_t seconds) noexcept;

private:
    std::string head_;  // up to the time
    std::string body_;  // from the tab after the time to the tab before the seconds
    std::string tail_;  // from the tab after the seconds, line end included
    std::string buffer_;
};

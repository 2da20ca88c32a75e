#include "download/DownloadLog.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "download/DownloadEndings.h"
#include "download/UnitSerial.h"

size_t LongestDownloadLogRecord(std::string_view fullPath) {
    const std::string tool = ToolColumn(kFwimageTool, true);
    TDownloadRecord record{.UtcTime = "2026-12-07T12:00:00Z",
                           .FullPath = std::string(fullPath),
                           .Size = INT64_MAX,
                           .Sum = 0xFFFF,
                           .Outcome = {},
                           .ExitCode = 0,
                           .Sha256 = std::string(64, '0'),
                           .Seconds = std::numeric_limits<uint64_t>::max(),
                           .Tool = tool,
                           .Unit = std::numeric_limits<unsigned>::max(),
                           .Serial = std::string(kSerialMostBytes, 'x')};
    size_t longest = 0;
    for (size_t e = 0; e < kEndingCount; ++e) {
        const TEndingRow& row = EndingRow(static_cast<TEnding>(e));
        record.Outcome = row.LogName;
        record.ExitCode = row.ExitCode;
        longest = std::max(longest, DownloadRecordText(record).size());
    }
    return longest + std::string_view("\r\n").size();
}

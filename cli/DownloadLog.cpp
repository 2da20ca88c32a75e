#include "DownloadLog.h"

#include <algorithm>
#include <cstdint>

#include "DownloadEndings.h"
#include "runtime/Convert.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kHeader = "UTC time\tFile\tSize\tSum\tOutcome\tExit code";
constexpr std::string_view kUtcTimeSample = "2026-12-07T12:00:00Z";

std::string_view LineEnd(const TLogForm& form) {
    return form.Crlf ? "\r\n" : "\n";
}

}  // namespace

std::string DownloadLogRecord(std::string_view utcTime, std::string_view fullPath, const TImageInfo& info,
                              std::string_view outcome, int exitCode) {
    std::string line;
    for (std::string_view field : {utcTime, fullPath}) line.append(field).append("\t");
    line += rt::IntToHex(static_cast<uint64_t>(info.Size), 4) + "\t" + rt::IntToHex(info.Sum, 4) + "\t";
    line.append(outcome).append("\t").append(std::to_string(exitCode));
    return line;
}

size_t LongestDownloadLogRecord(std::string_view fullPath) {
    TImageInfo info;
    info.Size = INT64_MAX;
    info.Sum = 0xFFFF;
    size_t longest = 0;
    for (int e = 0; e <= static_cast<int>(TEnding::RecordLost); ++e) {
        const TEndingRow& row = EndingRow(static_cast<TEnding>(e));
        longest = std::max(
            longest, DownloadLogRecord(kUtcTimeSample, fullPath, info, row.LogName, row.ExitCode).size());
    }
    return longest + LineEnd({}).size();
}

TLogForm LogFormOf(uint64_t size, std::string_view head, char last) {
    if (size == 0) return {};
    const size_t end = head.find('\n');
    // A log without a whole line yet is taken for this tool's older form.
    const bool crlf = end != std::string_view::npos && end > 0 && head[end - 1] == '\r';
    return {false, crlf, last != '\n'};
}

std::string LogOpeningText(const TLogForm& form) {
    std::string text;
    if (form.NewFile) text.append(kByteOrderMark).append(kHeader).append(LineEnd(form));
    if (form.LineOpen) text.append(LineEnd(form));
    return text;
}

std::string LogRecordText(const TLogForm& form, std::string_view record) {
    return std::string(record).append(LineEnd(form));
}

#include "DownloadRecord.h"

#include <cstdio>

#include "runtime/Convert.h"
#include "runtime/Digest.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kHeader =
    "UTC time\tFile\tSize\tSum\tOutcome\tExit code\tSHA-256\tSeconds\tTool\tUnit";

std::string_view LineEnd(const TLogForm& form) {
    return form.Crlf ? "\r\n" : "\n";
}

}  // namespace

std::string DownloadRecordText(const TDownloadRecord& r) {
    std::string line;
    for (std::string_view field : {std::string_view(r.UtcTime), std::string_view(r.FullPath)})
        line.append(field).append("\t");
    line += rt::IntToHex(static_cast<uint64_t>(r.Size), 4) + "\t" + rt::IntToHex(r.Sum, 4) + "\t";
    line.append(r.Outcome).append("\t").append(std::to_string(r.ExitCode)).append("\t");
    line.append(r.Sha256).append("\t").append(std::to_string(r.Seconds)).append("\t");
    line.append(r.Tool).append("\t");
    if (r.Unit) line += std::to_string(*r.Unit);
    return line;
}

std::string ImageSha256(const TImageInfo& info) {
    return rt::Sha256Hex(info.Data, static_cast<size_t>(info.Size));
}

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const sys_days day = floor<days>(time);
    const year_month_day date(day);
    const hh_mm_ss clock(floor<seconds>(time - day));
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

uint64_t WholeSeconds(std::chrono::steady_clock::duration duration) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
    return ms <= 0 ? 0 : static_cast<uint64_t>(ms + 500) / 1000;
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

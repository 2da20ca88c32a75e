#include "download/DownloadRecord.h"

#include <cstdio>
#include <vector>

#include "runtime/Convert.h"
#include "runtime/Digest.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// The first six columns' names: Size and Sum are named hexadecimal, since a
// spreadsheet takes a bare 1E05 for 100000; older logs' header comes second.
constexpr std::string_view kHeaderStarts[] = {"UTC time\tFile\tSize (hex)\tSum (hex)\tOutcome\tExit code",
                                              "UTC time\tFile\tSize\tSum\tOutcome\tExit code"};
constexpr std::string_view kHeaderRest = "\tSHA-256\tSeconds\tTool\tUnit\tSerial\tStation\tOperator";
constexpr size_t kRecordColumns = 6;  // of the oldest logs; later ones add to them

// A name the system gave, as one column: a control character would end the
// column or the line.
std::string NameColumn(std::string_view name) {
    std::string column(name);
    for (char& c : column)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return column;
}

std::string_view LineEnd(const TLogForm& form) {
    return form.Crlf ? "\r\n" : "\n";
}

bool AllOf(std::string_view text, std::string_view allowed) {
    return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

// text cut into its first count tab-separated columns; fewer when it has fewer.
std::vector<std::string_view> Columns(std::string_view text, size_t count) {
    std::vector<std::string_view> columns;
    while (columns.size() < count) {
        const size_t tab = text.find('\t');
        columns.push_back(text.substr(0, tab));
        if (tab == std::string_view::npos) break;
        text.remove_prefix(tab + 1);
    }
    return columns;
}

// 2026-12-07T12:00:00Z; 0 stands for any digit.
bool TimeColumn(std::string_view text) {
    constexpr std::string_view pattern = "0000-00-00T00:00:00Z";
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (pattern[i] == '0' ? text[i] < '0' || text[i] > '9' : text[i] != pattern[i]) return false;
    return true;
}

// The first six columns as a record writes them: the time, a path, the size
// and the sum in hexadecimal, an outcome's name, an exit code.
bool RecordStart(std::string_view line) {
    const std::vector<std::string_view> c = Columns(line, kRecordColumns);
    if (c.size() < kRecordColumns || !TimeColumn(c[0]) || c[1].empty()) return false;
    constexpr std::string_view hex = "0123456789ABCDEF";
    const std::string_view code = c[5].substr(c[5].starts_with('-') ? 1 : 0);
    return c[2].size() >= 4 && AllOf(c[2], hex) && c[3].size() == 4 && AllOf(c[3], hex) &&
           AllOf(c[4], "abcdefghijklmnopqrstuvwxyz-") && AllOf(code, "0123456789");
}

}  // namespace

std::string ToolColumn(std::string_view program, bool simulatedLibrary) {
    std::string column(program);
    if (simulatedLibrary) column += " (имитация)";
    return column;
}

std::string DownloadRecordText(const TDownloadRecord& r) {
    std::string line;
    for (std::string_view field : {std::string_view(r.UtcTime), std::string_view(r.FullPath)})
        line.append(field).append("\t");
    line += rt::IntToHex(static_cast<uint64_t>(r.Size), 4) + "\t" + rt::IntToHex(r.Sum, 4) + "\t";
    line.append(r.Outcome).append("\t").append(std::to_string(r.ExitCode)).append("\t");
    line.append(r.Sha256).append("\t").append(std::to_string(r.Seconds)).append("\t");
    line.append(r.Tool).append("\t");
    if (r.Unit) line += std::to_string(*r.Unit);
    line.append("\t").append(r.Serial);
    line.append("\t").append(NameColumn(r.Station)).append("\t").append(NameColumn(r.Operator));
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

bool IsDownloadLog(std::string_view head) {
    if (head.empty()) return true;
    if (head.starts_with(kByteOrderMark)) head.remove_prefix(kByteOrderMark.size());
    std::string_view line = head.substr(0, head.find('\n'));
    if (line.ends_with('\r')) line.remove_suffix(1);
    for (std::string_view six : kHeaderStarts)
        if (line.starts_with(six) && (line.size() == six.size() || line[six.size()] == '\t')) return true;
    return RecordStart(line);
}

bool IsRecordStart(std::string_view line) {
    return RecordStart(line);
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
    if (form.NewFile)
        text.append(kByteOrderMark).append(kHeaderStarts[0]).append(kHeaderRest).append(LineEnd(form));
    if (form.LineOpen) text.append(LineEnd(form));
    return text;
}

std::string LogRecordText(const TLogForm& form, std::string_view record) {
    return std::string(record).append(LineEnd(form));
}

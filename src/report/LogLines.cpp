#include "report/LogLines.h"

#include <algorithm>

#include "download/DownloadRecord.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr size_t kBlockBytes = 1 << 20;

// The places of the columns a report reads.
enum TColumn : size_t {
    kTime = 0,
    kPath = 1,
    kOutcome = 4,
    kSha256 = 6,
    kSeconds = 7,
    kSerial = 10,
    kStation = 11,
};
// Column counts of the forms the log has had; a later one may add columns.
constexpr size_t kOldestColumns = 6, kDigestColumns = 10, kStationColumns = 13;

bool AllOf(std::string_view text, std::string_view allowed) {
    return text.find_first_not_of(allowed) == std::string_view::npos;
}

}  // namespace

TLogLine ReadLogLine(std::string_view line) {
    if (line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());
    if (line.ends_with('\r')) line.remove_suffix(1);
    TLogLine read;
    if (line.find_first_not_of(" \t") == std::string_view::npos) return read;
    if (!IsRecordStart(line)) {
        read.Kind = IsDownloadLog(line) ? TLineKind::Header : TLineKind::NotARecord;
        read.Why =
            "not a record (its first six columns are not a record's time, file, size, sum, outcome and "
            "exit code)";
        return read;
    }
    std::string_view columns[kStationColumns];
    size_t count = 0;
    for (std::string_view rest = line;; ++count) {
        const size_t tab = rest.find('\t');
        if (count < kStationColumns) columns[count] = rest.substr(0, tab);
        if (tab == std::string_view::npos) break;
        rest.remove_prefix(tab + 1);
    }
    ++count;
    read.Kind = TLineKind::NotARecord;
    if (count != kOldestColumns && count != kDigestColumns && count < kStationColumns) {
        read.Why = "not a record (" + std::to_string(count) + " columns; a record has 6, 10, or 13 or more)";
        return read;
    }
    const std::string_view sha256 = count > kSha256 ? columns[kSha256] : std::string_view();
    if (!sha256.empty() && (sha256.size() != 64 || !AllOf(sha256, "0123456789abcdef"))) {
        read.Why = "not a record (its SHA-256 is not 64 hexadecimal digits)";
        return read;
    }
    if (count > kSeconds && (columns[kSeconds].empty() || !AllOf(columns[kSeconds], "0123456789"))) {
        read.Why = "not a record (its seconds are not a whole number)";
        return read;
    }
    read.Kind = TLineKind::Record;
    read.Record = {columns[kTime],
                   columns[kPath],
                   columns[kOutcome],
                   sha256,
                   count > kSerial ? columns[kSerial] : std::string_view(),
                   count > kStation ? columns[kStation] : std::string_view()};
    return read;
}

bool SendsNothing(std::string_view outcome) {
    // Outcomes that end before any library call, or while the library loads;
    // "timed-out" may come after a step, so it counts as an attempt.
    static constexpr std::string_view kNothingSent[] = {
        "declined", "not-asked",  "interrupted", "wrong-image",  "empty",
        "busy",     "no-library", "failed",      "load-crashed",
    };
    return std::ranges::find(kNothingSent, outcome) != std::end(kNothingSent);
}

int64_t TimeNumber(std::string_view time) {
    int64_t number = 0;
    for (char c : time)
        if (c >= '0' && c <= '9') number = number * 10 + (c - '0');
    return number;
}

std::string_view FileNamePart(std::string_view path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

TLogLineReader::TLogLineReader(const std::string& fileName) : file_(fileName) {}

bool TLogLineReader::Fill() {
    if (ended_) return false;
    buffer_.erase(0, at_);
    at_ = 0;
    const size_t had = buffer_.size();
    buffer_.resize(had + kBlockBytes);
    const int64_t got = file_.Read(buffer_.data() + had, static_cast<int64_t>(kBlockBytes));
    buffer_.resize(had + static_cast<size_t>(std::max<int64_t>(got, 0)));
    ended_ = got <= 0;
    return !ended_;
}

std::string_view TLogLineReader::Head() {
    if (buffer_.empty() && lineNumber_ == 0) Fill();
    return buffer_;
}

bool TLogLineReader::Next(std::string_view& line) {
    size_t end;
    while ((end = buffer_.find('\n', at_)) == std::string::npos)
        if (!Fill()) break;
    if (end == std::string::npos && at_ == buffer_.size()) return false;
    if (end == std::string::npos) end = buffer_.size();  // a last line without its end
    line = std::string_view(buffer_).substr(at_, end - at_);
    if (line.ends_with('\r')) line.remove_suffix(1);
    at_ = std::min(end + 1, buffer_.size());
    ++lineNumber_;
    return true;
}

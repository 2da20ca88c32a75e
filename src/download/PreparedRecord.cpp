#include "download/PreparedRecord.h"

#include <cstring>

namespace {

constexpr size_t kTimeLength = 20;     // 2026-12-07T12:00:00Z
constexpr size_t kSecondsLength = 20;  // the most digits of a uint64_t

// value in exactly width digits, into out.
char* Digits(char* out, uint64_t value, size_t width) noexcept {
    for (size_t i = width; i > 0; --i) {
        out[i - 1] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

size_t DigitCount(uint64_t value) noexcept {
    size_t count = 1;
    while (value >= 10) {
        value /= 10;
        ++count;
    }
    return count;
}

char* Copy(char* out, const std::string& text) noexcept {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

}  // namespace

TPreparedRecord::TPreparedRecord(const TDownloadRecord& record, const TLogForm& form) {
    TDownloadRecord blank = record;
    blank.UtcTime.clear();
    blank.Seconds = 0;
    // No column after the seconds holds a tab (a path may): the tool's is
    // the fifth from the end, before the unit, serial, station and operator.
    const std::string text = DownloadRecordText(blank);
    size_t tool = text.size();
    for (int column = 0; column < 5; ++column) tool = text.rfind('\t', tool - 1);
    const size_t seconds = text.rfind('\t', tool - 1);
    head_ = LogOpeningText(form);
    body_ = text.substr(0, seconds + 1);
    tail_ = LogRecordText(form, std::string_view(text).substr(tool));
    buffer_.resize(head_.size() + kTimeLength + body_.size() + kSecondsLength + tail_.size());
}

std::string_view TPreparedRecord::Finish(const TRecordTime& time, uint64_t seconds) noexcept {
    char* const start = buffer_.data();
    char* out = Copy(start, head_);
    out = Digits(out, static_cast<uint64_t>(time.Year), 4);
    *out++ = '-';
    out = Digits(out, static_cast<uint64_t>(time.Month), 2);
    *out++ = '-';
    out = Digits(out, static_cast<uint64_t>(time.Day), 2);
    *out++ = 'T';
    out = Digits(out, static_cast<uint64_t>(time.Hour), 2);
    *out++ = ':';
    out = Digits(out, static_cast<uint64_t>(time.Minute), 2);
    *out++ = ':';
    out = Digits(out, static_cast<uint64_t>(time.Second), 2);
    *out++ = 'Z';
    out = Copy(out, body_);
    out = Digits(out, seconds, DigitCount(seconds));
    out = Copy(out, tail_);
    return {start, static_cast<size_t>(out - start)};
}

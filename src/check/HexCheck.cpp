#include "check/HexCheck.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "image/CommandImage.h"
#include "image/ExitCodes.h"
#include "check/HexCheckOverlaps.h"
#include "check/HexCheckText.h"
#include "HexFile2BinMemoryStream.h"
#include "image/HexRecord.h"
#include "image/HexText.h"
#include "image/ImageMap.h"
#include "runtime/FileIO.h"

namespace {

using checktext::TSkipped;

constexpr uint32_t kEndOfFile = 0x01;
constexpr uint32_t kSegmentBase = 0x02;
constexpr uint32_t kStartSegment = 0x03;
constexpr uint32_t kLinearBase = 0x04;
constexpr uint32_t kLastKnownType = 0x05;
// Count, address, type, 255 data bytes and the checksum.
constexpr std::size_t kLongestRecordBytes = 4 + 255 + 1;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsHexDigit(char c) {
    return !(rt::HexDigitValue(c) & rt::kNotHexDigit);
}

// A line that does not start with ':': a record the window misses, or text.
TSkipped SkippedKind(const char* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n && IsBlank(s[i])) ++i;
    if (i < n && s[i] == ':') return TSkipped::BlankBeforeMark;
    std::size_t digits = 0;
    while (i + digits < n && IsHexDigit(s[i + digits])) ++digits;
    std::size_t rest = i + digits;
    while (rest < n && IsBlank(s[rest])) ++rest;
    // Count, address and type at least, and nothing but blanks after the digits.
    return digits >= 10 && rest == n ? TSkipped::NoMark : TSkipped::Text;
}

class THexCheck {
public:
    explicit THexCheck(const std::string& fileName) : file_(fileName), stamp_(file_.Stamp()) {}

    TCheckResult Run() {
        nul_ = Lines([&](const char* s, std::size_t n, uint64_t line) { Line(s, n, line); });
        // A file rewritten while it is read seems malformed: the change is the better explanation.
        file_.CheckUnchanged(stamp_);
        if (refusal_) return Refused(std::move(*refusal_));
        const uint64_t length = anyData_ ? highestEnd_ - firstAddress_ : 1;
        if (length > kLargestHexImage)
            return Refused(checktext::Refused(0, FailureText(std::make_exception_ptr(rt::EOutOfMemory()))));
        if (dataFailure_) return Refused(std::move(*dataFailure_));
        // The window sends an empty image as it is; fwimage download refuses it.
        if (length == 0) return Refused(checktext::Refused(0, kEmptyImageText));
        FlushSkipped();
        if (nul_) Add(checktext::NulEnds(lastLine_, endLine_ != 0));
        if (overlaps_.Any()) {
            Lines([&](const char* s, std::size_t n, uint64_t line) { overlaps_.EarlierLine(s, n, line); });
            file_.CheckUnchanged(stamp_);
            for (const TOverlapRun& run : overlaps_.Runs()) Add(checktext::Overlap(run));
        }
        Finish(length);
        std::stable_sort(result_.Findings.begin(), result_.Findings.end(),
                         [](const TFinding& a, const TFinding& b) { return a.Line < b.Line; });
        return std::move(result_);
    }

private:
    template <class Line>
    bool Lines(Line&& line) {
        file_.Rewind();
        return hextext::ForEachLine([&](char* buffer, int64_t count) { return file_.Read(buffer, count); },
                                    hextext::kDefaultBlockSize, line);
    }

    static TCheckResult Refused(TFinding refusal) {
        TCheckResult refused;
        refused.Refused = true;
        refused.Findings.push_back(std::move(refusal));
        return refused;
    }

    void Add(TFinding finding) { result_.Findings.push_back(std::move(finding)); }

    // Skipped lines in a row of one kind are one finding.
    void Skip(TSkipped kind, uint64_t line) {
        if (skipped_ && skipped_->kind == kind && skipped_->last + 1 == line &&
            (endLine_ != 0) == skipped_->afterEnd) {
            skipped_->last = line;
            return;
        }
        FlushSkipped();
        skipped_ = TSkippedLines{kind, endLine_ != 0, line, line};
    }

    void FlushSkipped() {
        if (skipped_)
            Add(checktext::Skipped(skipped_->kind, skipped_->afterEnd, skipped_->first, skipped_->last));
        skipped_.reset();
    }

    void Line(const char* s, std::size_t n, uint64_t line) {
        lastLine_ = line;
        if (refusal_ || n == 0) return;
        if (s[0] != ':') return Skip(SkippedKind(s, n), line);
        hexrecord::TRecord record{};
        try {
            reader_.Read(s, n, line, record);
        } catch (const rt::Exception& failure) {
            // The window stops at the first line its first pass cannot read.
            refusal_ = checktext::Refused(line, FailureText(std::make_exception_ptr(failure)));
            return;
        }
        uint8_t bytes[kLongestRecordBytes];
        // Pairs the line holds after the mark, up to the checksum.
        const std::size_t pairs = std::min<std::size_t>((n - 1) / 2, 4 + std::size_t{record.count} + 1);
        const std::size_t good = hextext::DecodePairs(s + 1, pairs, bytes);
        if (record.type == hexrecord::kData) {
            if (good < 4 + record.count) {
                // Found by the window's second pass, after any first-pass failure.
                if (!dataFailure_) {
                    try {
                        hexrecord::BadField(std::string_view(s + 1 + 2 * good, 2), {});
                    } catch (const rt::Exception& failure) {
                        dataFailure_ =
                            checktext::Refused(line, FailureText(std::make_exception_ptr(failure)));
                    }
                }
                return;
            }
            Data(record, bytes + 4, line);
        } else if (record.type == kEndOfFile) {
            if (endLine_ == 0) endLine_ = line;
        } else if (record.type == kStartSegment || record.type == kLastKnownType) {
            const bool address = good >= 4 + record.count && record.count == 4;
            Add(checktext::StartAddress(line, record.type, address ? bytes + 4 : nullptr));
        } else if (record.type > kLastKnownType) {
            Add(checktext::UnknownType(line, record.type));
        }
        Checksum(s, record, bytes, pairs, good, line);
        // What follows the checksum: the window reads no further than it.
        std::size_t tail = 1 + 2 * (4 + std::size_t{record.count} + 1);
        // An address record's base is read whatever its byte count says.
        if (record.type == kSegmentBase || record.type == kLinearBase) tail = std::max<std::size_t>(tail, 13);
        if (n > tail) {
            const bool blanks = std::all_of(s + tail, s + n, IsBlank);
            Add(checktext::AfterChecksum(line, n - tail, n == hextext::kLongestCarried, blanks));
        }
    }

    void Data(const hexrecord::TRecord& record, const uint8_t* data, uint64_t line) {
        if (endLine_ != 0) {
            if (afterEnd_++ == 0) firstAfterEnd_ = line;
            lastAfterEnd_ = line;
        }
        runs_.Add(record.start, record.end);
        if (record.end > highestEnd_) highestEnd_ = record.end;
        if (!anyData_ || record.start < firstAddress_) firstAddress_ = record.start;
        anyData_ = true;
        if (record.count == 0) return;
        written_.Add(record.start, record.end, line, [&](uint64_t lo, uint64_t hi) {
            overlaps_.Rewritten(lo, hi, line, data + (lo - record.start));
        });
    }

    // The window never reads the checksum; a release should still carry right ones.
    void Checksum(const char* s, const hexrecord::TRecord& record, const uint8_t* bytes, std::size_t pairs,
                  std::size_t good, uint64_t line) {
        const std::size_t summed = 4 + std::size_t{record.count};
        if (good < std::min(pairs, summed))
            return Add(checktext::ChecksumUnchecked(
                line, std::string("'").append(s + 1 + 2 * good, 2) + "' is not a hexadecimal pair"));
        if (pairs < summed)
            return Add(checktext::ChecksumUnchecked(
                line, "the record is shorter than its byte count " + rt::IntToHex(record.count, 2)));
        uint32_t sum = 0;
        for (std::size_t i = 0; i < summed; ++i) sum += bytes[i];
        const uint8_t expected = static_cast<uint8_t>(0u - sum);
        if (pairs > summed && good > summed && bytes[summed] == expected) return;
        if (pairs == summed)
            return Add(checktext::ChecksumWrong(line, expected, std::nullopt, "record checksum is missing"));
        const std::string found =
            good == summed ? std::string(s + 1 + 2 * summed, 2) : rt::IntToHex(bytes[summed], 2);
        Add(checktext::ChecksumWrong(line, expected, found,
                                     good == summed ? "record checksum '" + found + "' is not hexadecimal"
                                                    : "record checksum is " + found));
    }

    void Finish(uint64_t length) {
        // A NUL before the end record is the reason it was not read.
        if (endLine_ == 0 && !nul_) {
            Add(checktext::NoEnd(lastLine_));
        } else if (afterEnd_ > 0) {
            Add(checktext::AfterEnd(endLine_, afterEnd_, firstAfterEnd_, lastAfterEnd_));
        }
        if (!anyData_) Add(checktext::NoData());
        if (const std::optional<TFarRun> far = FarRun(runs_.Runs(), length))
            Add(checktext::FarRegion(written_.FirstLineAt(far->Run.First), *far, length));
    }

    struct TSkippedLines {
        TSkipped kind;
        bool afterEnd;
        uint64_t first, last;
    };

    rt::TReadFile file_;
    rt::TFileStamp stamp_;
    hexrecord::TReader reader_;
    TCheckResult result_;
    std::optional<TFinding> refusal_, dataFailure_;
    std::optional<TSkippedLines> skipped_;
    THexRuns runs_;
    TWrittenSpans written_;
    TOverlaps overlaps_;
    uint32_t firstAddress_ = 0xFFFFFFFF;
    uint64_t highestEnd_ = 0;
    bool anyData_ = false, nul_ = false;
    uint64_t lastLine_ = 0, endLine_ = 0;
    uint64_t afterEnd_ = 0, firstAfterEnd_ = 0, lastAfterEnd_ = 0;
};

}  // namespace

int TCheckResult::ExitCode() const {
    if (Refused) return kExitFailed;
    for (const TFinding& finding : Findings)
        if (finding.Severity != TSeverity::Note) return kExitFindings;
    return kExitDone;
}

TCheckResult CheckImageFile(const std::string& fileName) {
    try {
        if (OpenKindOf(fileName) == TImageKind::Hex) return THexCheck(fileName).Run();
        TImageInfo info;
        OpenCommandImage(fileName, info);
        if (info.Size > 0) return {};
        TCheckResult empty;
        empty.Refused = true;
        empty.Findings.push_back(checktext::Refused(0, kEmptyImageText));
        return empty;
    } catch (...) {
        TCheckResult refused;
        refused.Refused = refused.Unreadable = true;
        refused.Findings.push_back(checktext::Refused(0, FailureText(std::current_exception())));
        refused.OsCode = FailureOsCode(std::current_exception());
        return refused;
    }
}

#include "check/HexCheck.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string_view>

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
using checktext::TZeroRun;
using namespace hexrecord;

// Runs of records without bytes kept until the data's extent is known; a file
// with more is read again to place them.
constexpr std::size_t kZeroRunsKept = 4096;
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
    THexCheck(const std::string& fileName, const TFindingSink& told)
        : file_(fileName), stamp_(file_.Stamp()), told_(told) {}

    TCheckResult Run() {
        nul_ = Lines([&](const char* s, std::size_t n, uint64_t line, const hextext::TLineRest& rest) {
            Line(s, n, line, rest);
        });
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
        ZeroRuns();
        if (overlaps_.Any()) {
            Lines([&](const char* s, std::size_t n, uint64_t line) { overlaps_.EarlierLine(s, n, line); });
            file_.CheckUnchanged(stamp_);
            std::vector<TOverlapRun> runs = overlaps_.Runs();
            // In the order of their first rewriting line, as found.
            std::stable_sort(runs.begin(), runs.end(),
                             [](const TOverlapRun& a, const TOverlapRun& b) { return a.Line < b.Line; });
            for (const TOverlapRun& run : runs) Add(checktext::Overlap(run));
        }
        Finish(length);
        return std::move(result_);
    }

private:
    template <class Line>
    bool Lines(Line&& line) {
        file_.Rewind();
        return hextext::ForEachLine([&](char* buffer, int64_t count) { return file_.Read(buffer, count); },
                                    hextext::kDefaultBlockSize, line);
    }

    // Nothing found after the line the window refuses is told.
    TCheckResult Refused(TFinding refusal) {
        result_.Refused = true;
        if (told_) told_(refusal);
        result_.Findings.push_back(std::move(refusal));
        return std::move(result_);
    }

    bool Refusing() const { return refusal_ || dataFailure_; }

    // Counts a finding; true when it is one to tell.
    bool Count(std::string_view kind, TSeverity severity, uint64_t line) {
        if (Refusing()) return false;
        if (severity != TSeverity::Note) result_.AnyWarning = true;
        auto it = counts_.find(kind);
        if (it == counts_.end()) it = counts_.emplace(std::string(kind), 0).first;
        if (++it->second <= kShownPerKind) return true;
        TOmitted& omitted = result_.Omitted[it->first];
        ++omitted.Count;
        omitted.LastLine = line;
        if (severity < omitted.Severity) omitted.Severity = severity;
        return false;
    }

    void Tell(TFinding finding) {
        if (told_) told_(finding);
        result_.Findings.push_back(std::move(finding));
    }

    void Add(TFinding finding) {
        if (Count(finding.Kind, finding.Severity, finding.Line)) Tell(std::move(finding));
    }

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

    void Line(const char* s, std::size_t n, uint64_t line, const hextext::TLineRest& rest) {
        lastLine_ = line;
        if (refusal_ || n == 0) return;
        if (s[0] != ':') return Skip(SkippedKind(s, n), line);
        FlushSkipped();
        TRecord record{};
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
        if (record.type == kData) {
            if (good < 4 + record.count) {
                // Found by the window's second pass, after any first-pass failure.
                if (!dataFailure_)
                    dataFailure_ = checktext::Refused(
                        line, FailureText(std::make_exception_ptr(
                                  BadFieldError(std::string_view(s + 1 + 2 * good, 2), {}))));
                return;
            }
            Data(record, bytes + 4, line);
        } else if (record.type == kEndOfFile) {
            if (endLine_ == 0) endLine_ = line;
        } else if (record.type == kSegmentBase || record.type == kLinearBase) {
            if (record.count != 2 && Count("address-count", TSeverity::Warning, line))
                Tell(checktext::AddressCount(line, record.type, record.count, reader_.Base()));
        } else if (record.type == kStartSegment || record.type == kStartLinear) {
            const bool address = good >= 4 + record.count && record.count == 4;
            if (Count("start-address", TSeverity::Note, line))
                Tell(checktext::StartAddress(line, record.type, address ? bytes + 4 : nullptr));
        } else if (Count("unknown-type", TSeverity::Warning, line)) {
            Tell(checktext::UnknownType(line, record.type));
        }
        Checksum(s, record, bytes, pairs, good, line);
        // What follows the checksum: the window reads no further than it.
        std::size_t tail = 1 + 2 * (4 + std::size_t{record.count} + 1);
        // An address record's base is read whatever its byte count says.
        if (record.type == kSegmentBase || record.type == kLinearBase) tail = std::max<std::size_t>(tail, 13);
        if (n > tail) {
            const bool blanks = rest.Blanks && std::all_of(s + tail, s + n, IsBlank);
            if (Count("after-checksum", blanks ? TSeverity::Note : TSeverity::Warning, line))
                Tell(checktext::AfterChecksum(line, n - tail + rest.Dropped, blanks));
        }
    }

    void Data(const TRecord& record, const uint8_t* data, uint64_t line) {
        if (endLine_ != 0) {
            if (afterEnd_++ == 0) firstAfterEnd_ = line;
            lastAfterEnd_ = line;
        }
        runs_.Add(record.start, record.end);
        if (record.end > highestEnd_) highestEnd_ = record.end;
        if (!anyData_ || record.start < firstAddress_) firstAddress_ = record.start;
        anyData_ = true;
        if (record.count == 0) return Zero(record.start, line);
        if (!anyBytes_ || record.start < dataFirst_) dataFirst_ = record.start;
        if (record.end > dataEnd_) dataEnd_ = record.end;
        anyBytes_ = true;
        written_.Add(record.start, record.end, line, [&](uint64_t lo, uint64_t hi) {
            overlaps_.Rewritten(lo, hi, line, data + (lo - record.start));
        });
    }

    // Records without bytes on consecutive lines are one run.
    static bool Continue(std::optional<TZeroRun>& run, uint32_t at, uint64_t line) {
        if (!run || run->Last + 1 != line) return false;
        run->Last = line;
        run->Low = std::min(run->Low, at);
        run->High = std::max(run->High, at);
        return true;
    }

    void Zero(uint32_t at, uint64_t line) {
        if (Continue(zero_, at, line)) return;
        CloseZero();
        zero_ = TZeroRun{line, line, at, at};
    }

    void CloseZero() {
        if (!zero_) return;
        if (zeroRuns_.size() < kZeroRunsKept)
            zeroRuns_.push_back(*zero_);
        else
            zeroOverflow_ = true;
        zero_.reset();
    }

    // Whether a record without bytes widens the image is known only once the
    // data's extent is.
    void ZeroRuns() {
        CloseZero();
        auto tell = [&](const TZeroRun& run) { Add(checktext::ZeroLength(run, anyBytes_, dataFirst_, dataEnd_)); };
        if (!zeroOverflow_) {
            for (const TZeroRun& run : zeroRuns_) tell(run);
            return;
        }
        TReader reader;
        std::optional<TZeroRun> zero;
        Lines([&](const char* s, std::size_t n, uint64_t line) {
            TRecord record;
            if (!reader.Read(s, n, line, record) || record.type != kData || record.count != 0) return;
            if (Continue(zero, record.start, line)) return;
            if (zero) tell(*zero);
            zero = TZeroRun{line, line, record.start, record.start};
        });
        if (zero) tell(*zero);
        file_.CheckUnchanged(stamp_);
    }

    // The window never reads the checksum; a release should still carry right ones.
    void Checksum(const char* s, const TRecord& record, const uint8_t* bytes, std::size_t pairs,
                  std::size_t good, uint64_t line) {
        const std::size_t summed = 4 + std::size_t{record.count};
        if (pairs > summed && good > summed) {
            uint32_t sum = 0;
            for (std::size_t i = 0; i < summed; ++i) sum += bytes[i];
            if (bytes[summed] == static_cast<uint8_t>(0u - sum)) return;
        }
        // Millions of wrong checksums are counted, not described.
        if (Count("checksum", TSeverity::Warning, line)) Tell(ChecksumFinding(s, record, bytes, pairs, good, line));
    }

    static TFinding ChecksumFinding(const char* s, const TRecord& record, const uint8_t* bytes, std::size_t pairs,
                                    std::size_t good, uint64_t line) {
        const std::size_t summed = 4 + std::size_t{record.count};
        if (good < std::min(pairs, summed))
            return checktext::ChecksumUnchecked(
                line, std::string("'").append(s + 1 + 2 * good, 2) + "' is not a hexadecimal pair");
        if (pairs < summed)
            return checktext::ChecksumUnchecked(
                line, "the record is shorter than its byte count " + rt::IntToHex(record.count, 2));
        uint32_t sum = 0;
        for (std::size_t i = 0; i < summed; ++i) sum += bytes[i];
        const uint8_t expected = static_cast<uint8_t>(0u - sum);
        if (pairs == summed)
            return checktext::ChecksumWrong(line, expected, std::nullopt, "record checksum is missing");
        const std::string found =
            good == summed ? std::string(s + 1 + 2 * summed, 2) : rt::IntToHex(bytes[summed], 2);
        return checktext::ChecksumWrong(line, expected, found,
                                        good == summed ? "record checksum '" + found + "' is not hexadecimal"
                                                       : "record checksum is " + found);
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
    const TFindingSink& told_;
    TReader reader_;
    TCheckResult result_;
    std::map<std::string, uint64_t, std::less<>> counts_;
    std::optional<TZeroRun> zero_;
    std::vector<TZeroRun> zeroRuns_;
    bool zeroOverflow_ = false;
    uint32_t dataFirst_ = 0;
    uint64_t dataEnd_ = 0;
    bool anyBytes_ = false;
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
    return AnyWarning ? kExitFindings : kExitDone;
}

uint64_t TCheckResult::LastOmittedLine() const {
    uint64_t last = 0;
    for (const auto& [kind, omitted] : Omitted) last = std::max(last, omitted.LastLine);
    return last;
}

const char* SeverityName(TSeverity severity) {
    switch (severity) {
    case TSeverity::Error:
        return "error";
    case TSeverity::Warning:
        return "warning";
    case TSeverity::Note:
        break;
    }
    return "note";
}

std::string FindingLine(const std::string& fileName, const TFinding& finding) {
    std::string line = fileName;
    if (finding.Line > 0) line.append(":").append(std::to_string(finding.Line));
    return line + ": " + SeverityName(finding.Severity) + ": " + finding.Text;
}

TCheckResult CheckImageFile(const std::string& fileName, const TFindingSink& told) {
    try {
        if (OpenKindOf(fileName) == TImageKind::Hex) return THexCheck(fileName, told).Run();
        TImageInfo info;
        OpenCommandImage(fileName, info);
        if (info.Size > 0) return {};
        TCheckResult empty;
        empty.Refused = true;
        empty.Findings.push_back(checktext::Refused(0, kEmptyImageText));
        if (told) told(empty.Findings.back());
        return empty;
    } catch (...) {
        TCheckResult refused;
        refused.Refused = refused.Unreadable = true;
        refused.Findings.push_back(checktext::Refused(0, FailureText(std::current_exception())));
        refused.OsCode = FailureOsCode(std::current_exception());
        if (told) told(refused.Findings.back());
        return refused;
    }
}

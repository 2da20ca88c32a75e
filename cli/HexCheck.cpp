#include "HexCheck.h"

#include <algorithm>
#include <exception>
#include <map>
#include <optional>

#include "CommandImage.h"
#include "ExitCodes.h"
#include "FirmwareImage.h"
#include "HexFile2BinMemoryStream.h"
#include "HexParse.h"
#include "HexRecord.h"
#include "HexText.h"
#include "ImageMap.h"
#include "runtime/Convert.h"
#include "runtime/FileIO.h"

namespace {

constexpr uint32_t kEndOfFile = 0x01;
constexpr uint32_t kStartSegment = 0x03;
constexpr uint32_t kStartLinear = 0x05;
// Count, address, type, 255 data bytes and the checksum.
constexpr std::size_t kLongestRecordBytes = 4 + 255 + 1;

std::string Hex2(uint32_t value) {
    return rt::IntToHex(value, 2);
}

std::string LineSpan(uint64_t first, uint64_t last) {
    return first == last ? "line " + std::to_string(first)
                         : "lines " + std::to_string(first) + " to " + std::to_string(last);
}

std::string Range(uint64_t first, uint64_t end) {
    return rt::IntToHex(first, 8) + "-" + rt::IntToHex(end - 1, 8);
}

// Data records that write addresses earlier ones wrote: one record, or
// consecutive ones that continue each other (a block written twice is one
// finding). Their bytes are kept for the comparison.
struct TOverlap {
    uint64_t Line, LastLine;
    uint64_t First, End;
    std::vector<uint8_t> Bytes;  // the records' bytes at [First, End)
    uint64_t EarlierFirstLine = 0, EarlierLastLine = 0;
    bool Different = false;
};

// The addresses written so far as disjoint ascending spans (touching ones
// joined), each with the first line that wrote into it. Records mostly
// continue the span they last extended, which costs no lookup.
class TWrittenSpans {
public:
    // Adds [first, end) written by line; returns the part [lo, hi) that was
    // written before (empty when none: lo == hi).
    std::pair<uint64_t, uint64_t> Add(uint32_t first, uint64_t end, uint64_t line) {
        if (last_ != spans_.end() && last_->second.End == first) {
            const auto next = std::next(last_);
            if (next == spans_.end() || next->first > end) {
                last_->second.End = end;
                return {0, 0};
            }
        }
        auto it = spans_.upper_bound(first);
        if (it != spans_.begin() && std::prev(it)->second.End >= first) --it;
        uint64_t lo = UINT64_MAX, hi = 0;
        uint32_t joinedFirst = first;
        uint64_t joinedEnd = end, joinedLine = line;
        while (it != spans_.end() && it->first <= end) {
            const uint64_t a = std::max<uint64_t>(first, it->first), b = std::min(end, it->second.End);
            if (a < b) {
                lo = std::min(lo, a);
                hi = std::max(hi, b);
            }
            joinedFirst = std::min(joinedFirst, it->first);
            joinedEnd = std::max(joinedEnd, it->second.End);
            joinedLine = std::min(joinedLine, it->second.Line);
            it = spans_.erase(it);
        }
        last_ = spans_.emplace_hint(it, joinedFirst, TSpan{joinedEnd, joinedLine});
        return hi > lo ? std::pair{lo, hi} : std::pair<uint64_t, uint64_t>{0, 0};
    }

    // The first line that wrote into the span that begins at first.
    uint64_t FirstLineAt(uint32_t first) const {
        const auto it = spans_.find(first);
        return it == spans_.end() ? 0 : it->second.Line;
    }

private:
    struct TSpan {
        uint64_t End;
        uint64_t Line;
    };
    std::map<uint32_t, TSpan> spans_;
    std::map<uint32_t, TSpan>::iterator last_ = spans_.end();
};

class THexCheck {
public:
    explicit THexCheck(const std::string& fileName) : file_(fileName), stamp_(file_.Stamp()) {}

    TCheckResult Run() {
        Lines([&](const char* s, std::size_t n, uint64_t line) { Line(s, n, line); });
        // A file rewritten while it is read seems malformed: the change is the better explanation.
        file_.CheckUnchanged(stamp_);
        if (refusal_) return Refused(std::move(*refusal_));
        const uint64_t length = anyData_ ? highestEnd_ - firstAddress_ : 1;
        if (length > kLargestHexImage) return Refused({0, rt::EOutOfMemory()});
        if (dataFailure_) return Refused(std::move(*dataFailure_));
        if (!overlaps_.empty()) CompareOverlaps();
        file_.CheckUnchanged(stamp_);
        Finish(length);
        std::stable_sort(result_.Findings.begin(), result_.Findings.end(),
                         [](const TFinding& a, const TFinding& b) { return a.Line < b.Line; });
        return std::move(result_);
    }

private:
    struct TRefusal {
        uint64_t Line;
        rt::Exception Failure;
    };

    template <class Line>
    void Lines(Line&& line) {
        file_.Rewind();
        hextext::ForEachLine([&](char* buffer, int64_t count) { return file_.Read(buffer, count); },
                             hexparse::kDefaultBlockSize, line);
    }

    TCheckResult Refused(TRefusal refusal) {
        TCheckResult refused;
        refused.Refused = true;
        refused.Findings.push_back({refusal.Line, TSeverity::Error, "refused",
                                    FailureText(std::make_exception_ptr(refusal.Failure))});
        return refused;
    }

    void Add(uint64_t line, TSeverity severity, const char* kind, std::string text,
             nlohmann::ordered_json fields = nlohmann::ordered_json::object()) {
        result_.Findings.push_back({line, severity, kind, std::move(text), std::move(fields)});
    }

    void Line(const char* s, std::size_t n, uint64_t line) {
        lastLine_ = line;
        if (refusal_) return;
        hexrecord::TRecord record;
        try {
            if (!reader_.Read(s, n, line, record)) return;
        } catch (const rt::Exception& failure) {
            // The window stops at the first line its first pass cannot read.
            refusal_ = TRefusal{line, failure};
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
                        dataFailure_ = TRefusal{line, failure};
                    }
                }
                return;
            }
            Data(record, bytes + 4, line);
        } else if (record.type == kEndOfFile) {
            if (endLine_ == 0) endLine_ = line;
        } else if (record.type == kStartSegment || record.type == kStartLinear) {
            StartAddress(record, good >= 4 + record.count ? bytes + 4 : nullptr, line);
        }
        Checksum(s, record, bytes, pairs, good, line);
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
        const uint64_t previous = previousDataLine_;
        previousDataLine_ = line;
        const auto [lo, hi] = written_.Add(record.start, record.end, line);
        if (hi <= lo) return;
        const uint8_t *from = data + (lo - record.start), *to = data + (hi - record.start);
        if (!overlaps_.empty() && overlaps_.back().LastLine == previous && overlaps_.back().End == lo) {
            TOverlap& block = overlaps_.back();
            block.LastLine = line;
            block.End = hi;
            block.Bytes.insert(block.Bytes.end(), from, to);
        } else {
            overlaps_.push_back({line, line, lo, hi, std::vector<uint8_t>(from, to)});
        }
    }

    void StartAddress(const hexrecord::TRecord& record, const uint8_t* data, uint64_t line) {
        std::string text = "start address record (type " + Hex2(record.type) + ")";
        nlohmann::ordered_json fields = {{"type", record.type}};
        if (data != nullptr && record.count == 4) {
            const std::string address =
                record.type == kStartLinear
                    ? Hex2(data[0]) + Hex2(data[1]) + Hex2(data[2]) + Hex2(data[3])
                    : Hex2(data[0]) + Hex2(data[1]) + ":" + Hex2(data[2]) + Hex2(data[3]);
            text += " " + address;
            fields["address"] = address;
        }
        Add(line, TSeverity::Note, "start-address", text + "; the loader ignores it", fields);
    }

    // The window never reads the checksum; a release should still carry right ones.
    void Checksum(const char* s, const hexrecord::TRecord& record, const uint8_t* bytes, std::size_t pairs,
                  std::size_t good, uint64_t line) {
        const std::size_t summed = 4 + std::size_t{record.count};
        if (good < std::min(pairs, summed)) {
            Add(line, TSeverity::Warning, "checksum",
                "record checksum cannot be checked: '" + std::string(s + 1 + 2 * good, 2) +
                    "' is not a hexadecimal pair");
            return;
        }
        if (pairs < summed) {
            Add(line, TSeverity::Warning, "checksum",
                "record checksum cannot be checked: the record is shorter than its byte count " +
                    Hex2(record.count));
            return;
        }
        uint8_t sum = 0;
        for (std::size_t i = 0; i < summed; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
        const uint8_t expected = static_cast<uint8_t>(-sum);
        if (pairs > summed && good > summed && bytes[summed] == expected) return;
        std::optional<std::string> found;
        std::string text;
        if (pairs == summed) {
            text = "record checksum is missing";
        } else if (good == summed) {
            found = std::string(s + 1 + 2 * summed, 2);
            text = "record checksum '" + *found + "' is not hexadecimal";
        } else {
            found = Hex2(bytes[summed]);
            text = "record checksum is " + *found;
        }
        Add(line, TSeverity::Warning, "checksum", text + ", expected " + Hex2(expected),
            {{"expected", Hex2(expected)},
             {"found", found ? nlohmann::ordered_json(*found) : nlohmann::ordered_json()}});
    }

    // The earlier bytes of each overlap: the one pass kept only the later
    // record's, so the lines before it are read again, only for such files.
    void CompareOverlaps() {
        std::sort(overlaps_.begin(), overlaps_.end(),
                  [](const TOverlap& a, const TOverlap& b) { return a.First < b.First; });
        const uint64_t lastLine = std::max_element(overlaps_.begin(), overlaps_.end(), [](auto& a, auto& b) {
                                      return a.Line < b.Line;
                                  })->Line;
        uint64_t longest = 0;
        for (const TOverlap& o : overlaps_) longest = std::max(longest, o.End - o.First);
        hexrecord::TReader reader;
        uint8_t data[255];
        Lines([&](const char* s, std::size_t n, uint64_t line) {
            hexrecord::TRecord record;
            if (line >= lastLine || !reader.Read(s, n, line, record) || record.type != hexrecord::kData)
                return;
            if (record.count == 0) return;
            hextext::DecodePairs(record.data, record.count, data);
            auto it = std::lower_bound(
                overlaps_.begin(), overlaps_.end(), record.start,
                [&](const TOverlap& o, uint64_t start) { return o.First + longest <= start; });
            for (; it != overlaps_.end() && it->First < record.end; ++it) {
                const uint64_t a = std::max<uint64_t>(record.start, it->First),
                               b = std::min(record.end, it->End);
                if (a >= b || line >= it->Line) continue;
                if (it->EarlierFirstLine == 0) it->EarlierFirstLine = line;
                it->EarlierLastLine = line;
                it->Different =
                    it->Different || !std::equal(data + (a - record.start), data + (b - record.start),
                                                 it->Bytes.begin() + (a - it->First));
            }
        });
        for (const TOverlap& o : overlaps_) {
            Add(o.Line, TSeverity::Warning, "overlap",
                Range(o.First, o.End) + " written again" +
                    (o.LastLine == o.Line ? "" : " by " + LineSpan(o.Line, o.LastLine)) +
                    ", already written by " + LineSpan(o.EarlierFirstLine, o.EarlierLastLine) + ", with " +
                    (o.Different ? "different data; the later bytes are kept" : "the same data"),
                {{"first", rt::IntToHex(o.First, 8)},
                 {"last", rt::IntToHex(o.End - 1, 8)},
                 {"last_line", o.LastLine},
                 {"earlier_first_line", o.EarlierFirstLine},
                 {"earlier_last_line", o.EarlierLastLine},
                 {"same_data", !o.Different}});
        }
    }

    void Finish(uint64_t length) {
        if (endLine_ == 0) {
            Add(lastLine_, TSeverity::Warning, "no-end", "no end-of-file record");
        } else if (afterEnd_ > 0) {
            Add(firstAfterEnd_, TSeverity::Warning, "after-end",
                "data after the end-of-file record of line " + std::to_string(endLine_) + " still counts: " +
                    std::to_string(afterEnd_) + (afterEnd_ == 1 ? " data record" : " data records") +
                    " from here to line " + std::to_string(lastAfterEnd_),
                {{"end_line", endLine_}, {"records", afterEnd_}, {"last_line", lastAfterEnd_}});
        }
        if (const std::optional<TFarRun> far = FarRun(runs_.Runs(), length)) {
            Add(written_.FirstLineAt(far->Run.First), TSeverity::Warning, "far-region", far->Text,
                {{"first", rt::IntToHex(far->Run.First, 8)},
                 {"last", rt::IntToHex(far->Run.End - 1, 8)},
                 {"image_size", length}});
        }
    }

    rt::TReadFile file_;
    rt::TFileStamp stamp_;
    hexrecord::TReader reader_;
    TCheckResult result_;
    std::optional<TRefusal> refusal_, dataFailure_;
    THexRuns runs_;
    TWrittenSpans written_;
    std::vector<TOverlap> overlaps_;
    uint32_t firstAddress_ = 0xFFFFFFFF;
    uint64_t highestEnd_ = 0;
    bool anyData_ = false;
    uint64_t lastLine_ = 0, endLine_ = 0, previousDataLine_ = 0;
    uint64_t afterEnd_ = 0, firstAfterEnd_ = 0, lastAfterEnd_ = 0;
};

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
        return {};
    } catch (...) {
        TCheckResult refused;
        refused.Refused = true;
        refused.Findings.push_back({0, TSeverity::Error, "refused", FailureText(std::current_exception())});
        return refused;
    }
}

std::string FindingLine(const std::string& fileName, const TFinding& finding) {
    return fileName + (finding.Line > 0 ? ":" + std::to_string(finding.Line) : std::string()) + ": " +
           SeverityName(finding.Severity) + ": " + finding.Text;
}

nlohmann::ordered_json CheckJson(const std::string& fileName, const TCheckResult& result) {
    nlohmann::ordered_json findings = nlohmann::ordered_json::array();
    for (const TFinding& finding : result.Findings) {
        nlohmann::ordered_json item = {
            {"file", fileName},
            {"line", finding.Line > 0 ? nlohmann::ordered_json(finding.Line) : nlohmann::ordered_json()},
            {"severity", SeverityName(finding.Severity)},
            {"kind", finding.Kind},
            {"text", finding.Text}};
        item.update(finding.Fields);
        findings.push_back(std::move(item));
    }
    return {{"file", fileName}, {"exit_code", result.ExitCode()}, {"findings", std::move(findings)}};
}

#include "check/HexCheckText.h"

#include "runtime/Convert.h"

namespace checktext {
namespace {

std::string Hex2(uint32_t value) {
    return rt::IntToHex(value, 2);
}

std::string Address(uint64_t address) {
    return rt::IntToHex(address, 8);
}

std::string LineSpan(uint64_t first, uint64_t last) {
    return first == last ? "line " + std::to_string(first)
                         : "lines " + std::to_string(first) + " to " + std::to_string(last);
}

TFinding Warning(uint64_t line, const char* kind, std::string text) {
    return {line, TSeverity::Warning, kind, std::move(text)};
}

}  // namespace

TFinding Refused(uint64_t line, std::string text) {
    return {line, TSeverity::Error, "refused", std::move(text)};
}

TFinding Skipped(TSkipped kind, bool afterEnd, uint64_t first, uint64_t last) {
    const bool one = first == last;
    std::string what;
    TSeverity severity = TSeverity::Warning;
    const char* name = "skipped-record";
    switch (kind) {
    case TSkipped::BlankBeforeMark:
        what = one ? "a record after a blank" : "records after a blank";
        break;
    case TSkipped::NoMark:
        what = one ? "a record without its ':' mark" : "records without their ':' mark";
        break;
    case TSkipped::Text:
        what = one ? "not a record" : "not records";
        name = "not-record";
        if (afterEnd) severity = TSeverity::Note;
        break;
    }
    if (!one) what += " up to line " + std::to_string(last);
    return {first,
            severity,
            name,
            what + (one ? "; the loader skips the line" : "; the loader skips these lines"),
            {{"last_line", last}}};
}

TFinding UnknownType(uint64_t line, uint32_t type) {
    return {line,
            TSeverity::Warning,
            "unknown-type",
            "record type " + Hex2(type) + " is not an Intel HEX type; the loader skips the record",
            {{"type", uint64_t{type}}}};
}

TFinding AfterChecksum(uint64_t line, uint64_t count, bool blanks) {
    const std::string what = blanks ? (count == 1 ? "a blank" : std::to_string(count) + " blanks")
                                    : std::to_string(count) + (count == 1 ? " character" : " characters");
    return {line,
            blanks ? TSeverity::Note : TSeverity::Warning,
            "after-checksum",
            what + " after the record's checksum; the loader ignores " + (count == 1 ? "it" : "them"),
            {{"characters", count}}};
}

TFinding NulEnds(uint64_t line, bool afterEnd) {
    return {line, afterEnd ? TSeverity::Note : TSeverity::Warning, "nul",
            "a NUL character ends the text here; the loader reads nothing after it"};
}

TFinding StartAddress(uint64_t line, uint32_t type, const uint8_t* a) {
    std::string text = "start address record (type " + Hex2(type) + ")";
    TFinding finding{line, TSeverity::Note, "start-address", "", {{"type", uint64_t{type}}}};
    if (a != nullptr) {
        const std::string address = type == 0x05 ? Hex2(a[0]) + Hex2(a[1]) + Hex2(a[2]) + Hex2(a[3])
                                                 : Hex2(a[0]) + Hex2(a[1]) + ":" + Hex2(a[2]) + Hex2(a[3]);
        text += " " + address;
        finding.Details.push_back({"address", address});
    }
    finding.Text = text + "; the loader ignores it";
    return finding;
}

TFinding ChecksumUnchecked(uint64_t line, std::string why) {
    return Warning(line, "checksum", "record checksum cannot be checked: " + std::move(why));
}

TFinding ChecksumWrong(uint64_t line, uint8_t expected, std::optional<std::string> found, std::string text) {
    TFinding finding = Warning(line, "checksum", std::move(text) + ", expected " + Hex2(expected));
    finding.Details = {{"expected", Hex2(expected)}, {"found", {}}};
    if (found) finding.Details.back().Value = *found;
    return finding;
}

TFinding Overlap(const TOverlapRun& o) {
    return {o.Line,
            TSeverity::Warning,
            "overlap",
            Address(o.First) + "-" + Address(o.End - 1) + " written again" +
                (o.LastLine == o.Line ? "" : " by " + LineSpan(o.Line, o.LastLine)) +
                ", already written by " + LineSpan(o.EarlierFirstLine, o.EarlierLastLine) + ", with " +
                (o.Different() ? "different data; the later bytes are kept" : "the same data"),
            {{"first", Address(o.First)},
             {"last", Address(o.End - 1)},
             {"last_line", o.LastLine},
             {"earlier_first_line", o.EarlierFirstLine},
             {"earlier_last_line", o.EarlierLastLine},
             {"same_data", !o.Different()}}};
}

TFinding NoEnd(uint64_t line) {
    return Warning(line, "no-end", "no end-of-file record");
}

TFinding AfterEnd(uint64_t endLine, uint64_t records, uint64_t first, uint64_t last) {
    return {first,
            TSeverity::Warning,
            "after-end",
            "data after the end-of-file record of line " + std::to_string(endLine) + " still counts: " +
                std::to_string(records) + (records == 1 ? " data record" : " data records") +
                " from here to line " + std::to_string(last),
            {{"end_line", endLine}, {"records", records}, {"last_line", last}}};
}

TFinding FarRegion(uint64_t line, const TFarRun& far, uint64_t imageSize) {
    return {
        line,
        TSeverity::Warning,
        "far-region",
        far.Text,
        {{"first", Address(far.Run.First)}, {"last", Address(far.Run.End - 1)}, {"image_size", imageSize}}};
}

TFinding NoData() {
    return {0, TSeverity::Warning, "no-data",
            "no data record: the loader makes an image of one byte, FF, and fwimage download refuses it"};
}

TFinding ZeroLength(const TZeroRun& run, bool anyBytes, uint32_t dataFirst, uint64_t dataEnd) {
    const bool one = run.First == run.Last;
    const std::string at = run.Low == run.High ? " at " + Address(run.Low)
                                               : " at " + Address(run.Low) + " to " + Address(run.High);
    std::string what = (one ? "a data record of no byte" : "data records of no byte") + at;
    if (!one) what += ", up to line " + std::to_string(run.Last) + ",";
    const uint64_t before = anyBytes && run.Low < dataFirst ? dataFirst - run.Low : 0;
    const uint64_t after = anyBytes && run.High > dataEnd ? run.High - dataEnd : 0;
    TFinding finding{run.First, TSeverity::Warning, "zero-length", "",
                     {{"first", Address(run.Low)}, {"last", Address(run.High)}, {"last_line", run.Last},
                      {"ff_before", before}, {"ff_after", after}}};
    if (!anyBytes) {
        finding.Text = what + (one ? " widens" : " widen") +
                       " the loader's image, though no record gives a byte: every byte it sends is FF";
    } else if (before > 0 || after > 0) {
        std::string moved;
        if (before > 0)
            moved = std::to_string(before) + " bytes of FF before the data at " + Address(dataFirst) +
                    ", every address shifted";
        if (after > 0)
            moved += (moved.empty() ? "" : ", and ") + std::to_string(after) + " bytes of FF after the data's end";
        finding.Text = what + (one ? " widens" : " widen") + " the loader's image: it sends " + moved;
    } else {
        finding.Severity = TSeverity::Note;
        finding.Kind = "zero-length-inside";
        finding.Text = what + " within the data; the loader's image is the same without " + (one ? "it" : "them");
    }
    return finding;
}

TFinding AddressCount(uint64_t line, uint32_t type, uint32_t count, uint32_t base) {
    return {line,
            TSeverity::Warning,
            "address-count",
            std::string(type == 0x02 ? "extended segment" : "extended linear") + " address record (type " +
                Hex2(type) + ") of byte count " + Hex2(count) +
                ", not 02: the loader reads four digits after the type anyway and takes base " + Address(base) +
                "; the data after it move",
            {{"type", uint64_t{type}}, {"count", uint64_t{count}}, {"base", Address(base)}}};
}

TFinding Omitted(const std::string& kind, const TOmitted& omitted) {
    return {0,
            omitted.Severity,
            kind,
            std::to_string(omitted.Count) + " more " + kind + " findings not shown, the last at line " +
                std::to_string(omitted.LastLine),
            {{"count", omitted.Count}, {"last_line", omitted.LastLine}}};
}

}  // namespace checktext


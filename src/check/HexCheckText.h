// The findings of fwimage check, each with its severity, kind, text and
// details: how each is told lives here, what is found in HexCheck.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "check/HexCheck.h"
#include "check/HexCheckOverlaps.h"
#include "image/ImageMap.h"

namespace checktext {

// Lines the window skips whole. A record after a blank or without its mark
// holds data the image lacks; other text matters only before the end record.
enum class TSkipped { BlankBeforeMark, NoMark, Text };

TFinding Refused(uint64_t line, std::string text);
TFinding Skipped(TSkipped kind, bool afterEnd, uint64_t first, uint64_t last);
TFinding UnknownType(uint64_t line, uint32_t type);
// count characters after the checksum; blanks: they are only blanks.
TFinding AfterChecksum(uint64_t line, uint64_t count, bool blanks);
TFinding NulEnds(uint64_t line, bool afterEnd);
TFinding StartAddress(uint64_t line, uint32_t type, const uint8_t* address);
TFinding ChecksumUnchecked(uint64_t line, std::string why);
TFinding ChecksumWrong(uint64_t line, uint8_t expected, std::optional<std::string> found, std::string text);
TFinding Overlap(const TOverlapRun& run);
TFinding NoEnd(uint64_t line);
TFinding AfterEnd(uint64_t endLine, uint64_t records, uint64_t first, uint64_t last);
TFinding FarRegion(uint64_t line, const TFarRun& far, uint64_t imageSize);
TFinding NoData();

// Consecutive lines of data records of byte count 00, at addresses Low to High.
struct TZeroRun {
    uint64_t First, Last;
    uint32_t Low, High;
};
// Such a run beside the bytes the data records give, [dataFirst, dataEnd)
// (none when anyBytes is false): a warning where it widens the image.
TFinding ZeroLength(const TZeroRun& run, bool anyBytes, uint32_t dataFirst, uint64_t dataEnd);
// An address record (type 02 or 04) whose byte count is not 02; base: what
// the window makes of it.
TFinding AddressCount(uint64_t line, uint32_t type, uint32_t count, uint32_t base);
// The findings of kind past those told.
TFinding Omitted(const std::string& kind, const TOmitted& omitted);

}  // namespace checktext

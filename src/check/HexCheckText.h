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
// count characters after the checksum (at least that many when cut: the line
// was read only that far); blanks: they are only blanks.
TFinding AfterChecksum(uint64_t line, std::size_t count, bool cut, bool blanks);
TFinding NulEnds(uint64_t line, bool afterEnd);
TFinding StartAddress(uint64_t line, uint32_t type, const uint8_t* address);
TFinding ChecksumUnchecked(uint64_t line, std::string why);
TFinding ChecksumWrong(uint64_t line, uint8_t expected, std::optional<std::string> found, std::string text);
TFinding Overlap(const TOverlapRun& run);
TFinding NoEnd(uint64_t line);
TFinding AfterEnd(uint64_t endLine, uint64_t records, uint64_t first, uint64_t last);
TFinding FarRegion(uint64_t line, const TFarRun& far, uint64_t imageSize);
TFinding NoData();

}  // namespace checktext

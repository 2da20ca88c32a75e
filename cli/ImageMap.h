// The map of an image that fwimage info --map prints: where the data lie and
// how much of the image is gap fill, with a warning when a few bytes far from
// the rest blow the image up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "HexFile2BinMemoryStream.h"

struct TImageMap {
    std::vector<THexRun> Runs;  // ascending
    uint32_t FirstAddress = 0;
    uint64_t ImageSize = 0;
    uint64_t GapFill = 0;      // bytes that no run covers
    uint64_t GapPermille = 0;  // rounded down, so that 99.97 % never shows as 100.0 %
    // When most of a large image is gap fill: the run farthest from the others
    // and its distance to the nearest.
    std::optional<THexRun> Farthest;
    uint64_t FarthestGap = 0;
};

// runs: the data runs, ascending (for a .bin or .lock file the one run of the
// whole image); firstAddress: the image's; imageSize: its byte count.
TImageMap MapImage(std::vector<THexRun> runs, uint32_t firstAddress, uint64_t imageSize);

// The lines after the summary.
std::vector<std::string> MapLines(const TImageMap& map);
std::vector<std::string> MapLines(const std::vector<THexRun>& runs, uint32_t firstAddress,
                                  uint64_t imageSize);

// The warning's text after "Warning: ", when the map has one.
std::optional<std::string> MapWarning(const TImageMap& map);

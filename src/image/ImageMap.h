// The map of an image that fwimage info --map prints: where the data lie and
// how much of the image is gap fill, with a warning when a few bytes far from
// the rest blow the image up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "HexFile2BinMemoryStream.h"

// The lines after the summary. runs: the data runs, ascending (for a .bin or
// .lock file the one run of the whole image); firstAddress: the image's;
// imageSize: its byte count.
std::vector<std::string> MapLines(const std::vector<THexRun>& runs, uint32_t firstAddress,
                                  uint64_t imageSize);

// A run far from the others in an image over 1 MiB that is more than 90 %
// gap fill, and the warning's text (without its "Warning: ").
struct TFarRun {
    THexRun Run;
    std::string Text;
};
std::optional<TFarRun> FarRun(const std::vector<THexRun>& runs, uint64_t imageSize);

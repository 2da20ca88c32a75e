// The map of an image that fwimage info --map prints: where the data lie and
// how much of the image is gap fill, with a warning when a few bytes far from
// the rest blow the image up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "HexFile2BinMemoryStream.h"

// The lines after the summary. runs: the data runs, ascending (for a .bin or
// .lock file the one run of the whole image); firstAddress: the image's;
// imageSize: its byte count.
std::vector<std::string> MapLines(const std::vector<THexRun>& runs, uint32_t firstAddress,
                                  uint64_t imageSize);

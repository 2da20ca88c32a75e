#include "image/ImageMap.h"

#include <algorithm>
#include <optional>

#include "runtime/Convert.h"

namespace {

// Beyond this size a mostly empty image is worth a warning.
constexpr uint64_t kLargeImage = uint64_t{1} << 20;
// Gap fill above this share, in tenths of a per cent.
constexpr uint64_t kMostlyGapPermille = 900;

std::string RunText(const THexRun& run) {
    return rt::IntToHex(run.First, 8) + "-" + rt::IntToHex(run.End - 1, 8);
}

std::string Bytes(uint64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// Tenths of a per cent, rounded down, so that 99.97 % never shows as 100.0 %.
std::string PercentText(uint64_t part, uint64_t whole) {
    const uint64_t permille = whole == 0 ? 0 : part * 1000 / whole;
    return std::to_string(permille / 10) + "." + std::to_string(permille % 10) + " %";
}

// The gap between a run and its nearest neighbour.
uint64_t NearestGap(const std::vector<THexRun>& runs, size_t i) {
    uint64_t gap = UINT64_MAX;
    if (i > 0) gap = runs[i].First - runs[i - 1].End;
    if (i + 1 < runs.size()) gap = std::min(gap, runs[i + 1].First - runs[i].End);
    return gap;
}

uint64_t DataBytes(const std::vector<THexRun>& runs) {
    uint64_t data = 0;
    for (const THexRun& run : runs) data += run.End - run.First;
    return data;
}

}  // namespace

std::optional<TFarRun> FarRun(const std::vector<THexRun>& runs, uint64_t imageSize) {
    const uint64_t data = DataBytes(runs);
    const uint64_t gap = imageSize > data ? imageSize - data : 0;
    if (imageSize <= kLargeImage || gap * 1000 <= imageSize * kMostlyGapPermille || runs.size() < 2)
        return std::nullopt;
    // The farthest run; of equally far ones the smallest, as a stray block
    // usually is.
    size_t far = 0;
    for (size_t i = 1; i < runs.size(); ++i) {
        const uint64_t gapI = NearestGap(runs, i), gapFar = NearestGap(runs, far);
        if (gapI > gapFar ||
            (gapI == gapFar && runs[i].End - runs[i].First < runs[far].End - runs[far].First))
            far = i;
    }
    return TFarRun{runs[far], PercentText(gap, imageSize) + " of the image is gap fill; run " +
                                  RunText(runs[far]) + " lies farthest from the others (" +
                                  Bytes(NearestGap(runs, far)) + " from the nearest)"};
}

std::vector<std::string> MapLines(const std::vector<THexRun>& runs, uint32_t firstAddress,
                                  uint64_t imageSize) {
    std::vector<std::string> lines;
    lines.push_back("Data runs: " + std::to_string(runs.size()));
    for (const THexRun& run : runs) lines.push_back("  " + RunText(run) + "  " + Bytes(run.End - run.First));
    const uint64_t data = DataBytes(runs);
    lines.push_back("First address: " + rt::IntToHex(firstAddress, 8));
    const uint64_t gap = imageSize > data ? imageSize - data : 0;
    lines.push_back("Gap fill: " + Bytes(gap) + ", " + PercentText(gap, imageSize));

    if (const std::optional<TFarRun> far = FarRun(runs, imageSize)) lines.push_back("Warning: " + far->Text);
    return lines;
}

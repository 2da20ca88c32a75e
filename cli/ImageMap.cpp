#include "ImageMap.h"

#include <algorithm>

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

std::string PercentText(uint64_t permille) {
    return std::to_string(permille / 10) + "." + std::to_string(permille % 10) + " %";
}

// The gap between a run and its nearest neighbour.
uint64_t NearestGap(const std::vector<THexRun>& runs, size_t i) {
    uint64_t gap = UINT64_MAX;
    if (i > 0) gap = runs[i].First - runs[i - 1].End;
    if (i + 1 < runs.size()) gap = std::min(gap, runs[i + 1].First - runs[i].End);
    return gap;
}

}  // namespace

TImageMap MapImage(std::vector<THexRun> runs, uint32_t firstAddress, uint64_t imageSize) {
    TImageMap map;
    map.Runs = std::move(runs);
    map.FirstAddress = firstAddress;
    map.ImageSize = imageSize;
    uint64_t data = 0;
    for (const THexRun& run : map.Runs) data += run.End - run.First;
    map.GapFill = imageSize > data ? imageSize - data : 0;
    map.GapPermille = imageSize == 0 ? 0 : map.GapFill * 1000 / imageSize;

    const std::vector<THexRun>& found = map.Runs;
    if (imageSize > kLargeImage && map.GapFill * 1000 > imageSize * kMostlyGapPermille && found.size() > 1) {
        // Of equally far runs the smallest, as a stray block usually is.
        size_t far = 0;
        for (size_t i = 1; i < found.size(); ++i) {
            const uint64_t gapI = NearestGap(found, i), gapFar = NearestGap(found, far);
            if (gapI > gapFar ||
                (gapI == gapFar && found[i].End - found[i].First < found[far].End - found[far].First))
                far = i;
        }
        map.Farthest = found[far];
        map.FarthestGap = NearestGap(found, far);
    }
    return map;
}

std::optional<std::string> MapWarning(const TImageMap& map) {
    if (!map.Farthest) return std::nullopt;
    return PercentText(map.GapPermille) + " of the image is gap fill; run " + RunText(*map.Farthest) +
           " lies farthest from the others (" + Bytes(map.FarthestGap) + " from the nearest)";
}

std::vector<std::string> MapLines(const TImageMap& map) {
    std::vector<std::string> lines;
    lines.push_back("Data runs: " + std::to_string(map.Runs.size()));
    for (const THexRun& run : map.Runs)
        lines.push_back("  " + RunText(run) + "  " + Bytes(run.End - run.First));
    lines.push_back("First address: " + rt::IntToHex(map.FirstAddress, 8));
    lines.push_back("Gap fill: " + Bytes(map.GapFill) + ", " + PercentText(map.GapPermille));
    if (const std::optional<std::string> warning = MapWarning(map)) lines.push_back("Warning: " + *warning);
    return lines;
}

std::vector<std::string> MapLines(const std::vector<THexRun>& runs, uint32_t firstAddress,
                                  uint64_t imageSize) {
    return MapLines(MapImage(runs, firstAddress, imageSize));
}

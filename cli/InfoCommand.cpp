#include "InfoCommand.h"

#include <exception>
#include <utility>
#include <vector>

#include "CommandImage.h"
#include "FirmwareImage.h"
#include "ImageMap.h"
#include "JsonOutput.h"
#include "runtime/Convert.h"
#include "runtime/Digest.h"
#include "runtime/FileName.h"

namespace {

TImageMap MapOfImage(const std::string& fileName, const TImageInfo& info, THexRuns& runs) {
    std::vector<THexRun> found;
    uint32_t firstAddress = 0;
    if (OpenKindOf(fileName) == TImageKind::Hex) {
        found = runs.Runs();
        // No data record: the converter's empty image sits at the top address.
        firstAddress = found.empty() ? 0xFFFFFFFF : found.front().First;
    } else if (info.Size > 0) {
        found.push_back({0, static_cast<uint64_t>(info.Size)});
    }
    return MapImage(std::move(found), firstAddress, static_cast<uint64_t>(info.Size));
}

// The digest is of the bytes a download sends: a .lock file's as they are,
// since the window never unscrambles one and the file does not name its key.
std::string DigestOf(const TImageInfo& info) {
    return rt::Sha256Hex(info.Data, static_cast<size_t>(info.Size));
}

nlohmann::ordered_json MapJson(const TImageMap& map) {
    nlohmann::ordered_json runs = nlohmann::ordered_json::array();
    for (const THexRun& run : map.Runs)
        runs.push_back({{"first", run.First}, {"last", run.End - 1}, {"size", run.End - run.First}});
    nlohmann::ordered_json json = {{"runs", std::move(runs)},
                                   {"firstAddress", map.FirstAddress},
                                   {"gapFill", map.GapFill},
                                   {"gapFillPercent", static_cast<double>(map.GapPermille) / 10}};
    if (const std::optional<std::string> warning = MapWarning(map)) json["warning"] = *warning;
    return json;
}

nlohmann::ordered_json InfoJson(const std::string& fileName, const TImageInfo& info) {
    return {{"file", fileName},
            {"name", rt::ExtractFileName(fileName)},
            {"size", info.Size},
            {"sum", rt::IntToHex(info.Sum, 4)},
            {"sha256", DigestOf(info)}};
}

void InfoOf(const std::string& fileName, const TInfoRequest& request, std::ostream& out) {
    TImageInfo info;
    THexRuns runs;
    OpenCommandImage(fileName, info, request.Map ? &runs : nullptr);
    if (request.Json) {
        nlohmann::ordered_json json = InfoJson(fileName, info);
        if (request.Map) json["map"] = MapJson(MapOfImage(fileName, info, runs));
        WriteJsonLine(out, json);
        return;
    }
    for (const std::string& line : SummaryLines(fileName, info)) out << line << '\n';
    if (request.Digest) out << "SHA-256: " << DigestOf(info) << '\n';
    if (request.Map)
        for (const std::string& line : MapLines(MapOfImage(fileName, info, runs))) out << line << '\n';
}

}  // namespace

void Info(const std::string& fileName, const TInfoRequest& request, std::ostream& out) {
    try {
        InfoOf(fileName, request, out);
    } catch (...) {
        if (request.Json)
            WriteJsonLine(out, {{"file", fileName}, {"error", FailureText(std::current_exception())}});
        throw;
    }
}

#include "image/InfoCommand.h"

#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "image/CommandImage.h"
#include "download/DownloadRecord.h"
#include "image/FirmwareImage.h"
#include "image/ImageMap.h"
#include "JsonOutput.h"
#include "runtime/Convert.h"
#include "runtime/FileName.h"

namespace {

// Where the data lie: a .hex file's runs, the one run of a .bin or .lock
// file.
struct TDataRuns {
    std::vector<THexRun> Runs;
    uint32_t FirstAddress = 0;
    bool AnyRecord = false;
};

TDataRuns DataRunsOf(const std::string& fileName, const TImageInfo& info, THexRuns& runs) {
    TDataRuns found;
    if (OpenKindOf(fileName) == TImageKind::Hex) {
        found.Runs = runs.Runs();
        // No data record: the converter's empty image sits at the top address.
        found.FirstAddress = runs.ImageFirst();
        found.AnyRecord = runs.AnyRecord();
    } else if (info.Size > 0) {
        found.Runs.push_back({0, static_cast<uint64_t>(info.Size)});
        found.AnyRecord = true;
    }
    return found;
}

// Addresses in hexadecimal as the map's lines and check's findings give them.
nlohmann::ordered_json MapJson(const TDataRuns& found, uint64_t imageSize) {
    nlohmann::ordered_json runs = nlohmann::ordered_json::array();
    uint64_t data = 0;
    for (const THexRun& run : found.Runs) {
        runs.push_back({{"first", rt::IntToHex(run.First, 8)},
                        {"last", rt::IntToHex(run.End - 1, 8)},
                        {"size", run.End - run.First}});
        data += run.End - run.First;
    }
    // Without data the image starts nowhere: the converter's top address is
    // not the file's.
    const nlohmann::ordered_json first = !found.AnyRecord
                                             ? nlohmann::ordered_json()
                                             : nlohmann::ordered_json(rt::IntToHex(found.FirstAddress, 8));
    nlohmann::ordered_json json = {{"runs", std::move(runs)},
                                   {"first_address", first},
                                   {"gap_fill", imageSize > data ? imageSize - data : 0}};
    if (const std::optional<TFarRun> far = FarRun(found.Runs, imageSize)) json["warning"] = far->Text;
    return json;
}

nlohmann::ordered_json InfoJson(const std::string& fileName, const TImageInfo& info) {
    return {{"path", fileName},
            {"name", rt::ExtractFileName(fileName)},
            {"size", info.Size},
            {"sum", rt::IntToHex(info.Sum, 4)},
            {"sha256", ImageSha256(info)}};
}

void InfoOf(const std::string& fileName, const TInfoRequest& request, std::ostream& out) {
    TImageInfo info;
    THexRuns runs;
    OpenCommandImage(fileName, info, request.Map ? &runs : nullptr);
    if (request.Json) {
        nlohmann::ordered_json json = InfoJson(fileName, info);
        if (request.Map)
            json["map"] = MapJson(DataRunsOf(fileName, info, runs), static_cast<uint64_t>(info.Size));
        WriteJsonLine(out, json);
        return;
    }
    for (const std::string& line : SummaryLines(fileName, info)) out << line << '\n';
    if (request.Digest) out << "SHA-256: " << ImageSha256(info) << '\n';
    if (!request.Map) return;
    const TDataRuns found = DataRunsOf(fileName, info, runs);
    for (const std::string& line : MapLines(found.Runs, found.FirstAddress, static_cast<uint64_t>(info.Size)))
        out << line << '\n';
}

}  // namespace

void Info(const std::string& fileName, const TInfoRequest& request, std::ostream& out) {
    try {
        InfoOf(fileName, request, out);
    } catch (...) {
        if (request.Json)
            WriteJsonLine(out, {{"path", fileName}, {"error", JsonError(std::current_exception())}});
        throw;
    }
}

#include "DownloadJson.h"

#include "JsonOutput.h"
#include "runtime/Convert.h"

namespace {

using TEvent = nlohmann::ordered_json;

void Tell(std::ostream& json, const TEvent& event) {
    WriteJsonLine(json, event);
    // A script reads each event as it comes.
    json.flush();
}

}  // namespace

void TellImage(std::ostream& json, std::string_view name, std::string_view fullPath, const TImageInfo& info,
               std::string_view sha256) {
    TEvent event = {{"event", "image"},
                    {"name", name},
                    {"path", fullPath},
                    {"size", info.Size},
                    {"sum", rt::IntToHex(info.Sum, 4)}};
    if (!sha256.empty()) event["sha256"] = sha256;
    Tell(json, event);
}

void TellSearching(std::ostream& json) {
    Tell(json, {{"event", "searching"}});
}

void TellLoading(std::ostream& json, uint16_t percent) {
    Tell(json, {{"event", "loading"}, {"percent", percent}});
}

void TellEnded(std::ostream& json, std::string_view outcome, std::string_view line, int exitCode,
               unsigned unit) {
    TEvent event = {{"event", "ended"}, {"outcome", nullptr}, {"exit_code", exitCode}, {"text", line}};
    if (!outcome.empty()) event["outcome"] = outcome;
    if (unit > 0) event["unit"] = unit;
    Tell(json, event);
}

void TellSummary(std::ostream& json, unsigned done, unsigned failed, int exitCode) {
    Tell(json, {{"event", "summary"},
                {"units", done + failed},
                {"done", done},
                {"failed", failed},
                {"exit_code", exitCode}});
}

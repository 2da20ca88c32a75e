#include "download/DownloadJson.h"

#include "JsonOutput.h"
#include "runtime/Convert.h"
#include "runtime/FileIO.h"
#include "runtime/FileName.h"

namespace {

using TEvent = nlohmann::ordered_json;

void Tell(std::ostream& json, const TEvent& event) {
    WriteJsonLine(json, event);
    // A script reads each event as it comes.
    json.flush();
}

}  // namespace

void TellImage(std::ostream& json, std::string_view path, std::string_view fullPath, const TImageInfo& info,
               std::string_view sha256) {
    TEvent event = {{"event", "image"},      {"path", path},
                    {"full_path", fullPath}, {"name", rt::ExtractFileName(fullPath)},
                    {"size", info.Size},     {"sum", rt::IntToHex(info.Sum, 4)}};
    if (!sha256.empty()) event["sha256"] = sha256;
    Tell(json, event);
}

void TellError(std::ostream& json, std::string_view path, std::exception_ptr failure,
               const std::string* logPath) {
    TEvent event = {{"event", "error"}, {"path", path}, {"error", JsonError(failure)}};
    if (logPath) event["log"] = {{"path", *logPath}, {"full_path", rt::ExpandFileName(*logPath)}};
    Tell(json, event);
}

void TellSearching(std::ostream& json) {
    Tell(json, {{"event", "searching"}});
}

void TellLoading(std::ostream& json, uint16_t percent) {
    Tell(json, {{"event", "loading"}, {"percent", percent}});
}

void TellEnded(std::ostream& json, std::string_view outcome, std::string_view line, int exitCode,
               unsigned unit, const TUnitTrace& trace) {
    TEvent event = {{"event", "ended"}, {"outcome", nullptr}, {"exit_code", exitCode}, {"text", line}};
    if (!outcome.empty()) event["outcome"] = outcome;
    if (unit > 0) event["unit"] = unit;
    event["serial"] = nullptr;
    if (trace.Serial) event["serial"] = *trace.Serial;
    event["station"] = trace.Station;
    event["operator"] = trace.Operator;
    Tell(json, event);
}

void TellSummary(std::ostream& json, unsigned done, unsigned failed, int exitCode) {
    Tell(json, {{"event", "summary"},
                {"units", done + failed},
                {"done", done},
                {"failed", failed},
                {"exit_code", exitCode}});
}

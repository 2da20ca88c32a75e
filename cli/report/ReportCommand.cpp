#include "report/ReportCommand.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "JsonOutput.h"
#include "download/DownloadRecord.h"
#include "image/CommandImage.h"
#include "image/ExitCodes.h"
#include "image/FirmwareImage.h"
#include "report/LogReport.h"
#include "report/ReportPage.h"
#include "runtime/FileIO.h"

namespace {

using nlohmann::ordered_json;

// "Cannot read the log "%s": it is not a log (...)"
class ENotALog : public ECommandError {
public:
    using ECommandError::ECommandError;
};

std::string YieldText(const std::optional<double>& yield) {
    if (!yield) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f %%", *yield);
    return text;
}

std::string OutcomesText(const TReportCounts& counts) {
    std::string text;
    for (const auto& [outcome, count] : counts.Outcomes)
        text.append(text.empty() ? "" : ", ").append(outcome).append(" ").append(std::to_string(count));
    return text;
}

// Characters, not bytes: names may be Cyrillic.
size_t Width(std::string_view text) {
    size_t width = 0;
    for (char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return width;
}

// A table in aligned columns: the first `named` columns to the left, the
// counts to the right, the last (the outcomes) as it is.
void WriteTable(std::ostream& out, std::string_view title, const std::vector<std::vector<std::string>>& rows,
                size_t named) {
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Width(row[i]));
    out << title << '\n';
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            const std::string pad(widths[i] - Width(row[i]), ' ');
            if (i + 1 == row.size())
                line += row[i];
            else
                line += i < named ? row[i] + pad + "  " : pad + row[i] + "  ";
        }
        out << line << '\n';
    }
    out << '\n';
}

std::vector<std::string> CountCells(const TReportCounts& c) {
    return {std::to_string(c.Attempts),       std::to_string(c.Done),
            std::to_string(c.Units),          std::to_string(c.DoneUnits),
            std::to_string(c.FirstPassUnits), YieldText(c.FirstPassYield()),
            YieldText(c.FinalYield()),        OutcomesText(c)};
}

std::vector<std::string> Heads(std::vector<std::string> named) {
    for (const char* head : {"Attempts", "Done", "Units", "Done units", "First-pass units",
                             "First-pass yield", "Final yield", "Outcomes"})
        named.push_back(head);
    return named;
}

std::vector<std::string> Row(std::vector<std::string> named, const TReportCounts& counts) {
    for (std::string& cell : CountCells(counts)) named.push_back(std::move(cell));
    return named;
}

constexpr std::string_view kNoStation = "(not recorded)";

void WriteText(std::ostream& out, const TLogReport& report, size_t logs) {
    std::vector<std::vector<std::string>> images{Heads({"SHA-256", "Name"})};
    for (const TImageRow& image : report.Images())
        images.push_back(
            Row({image.Sha256.empty() ? "(none)" : image.Sha256.substr(0, 16), image.Name}, image.Counts));
    std::vector<std::vector<std::string>> stations{Heads({"Station"})};
    for (const auto& [station, counts] : report.Stations())
        stations.push_back(Row({station.empty() ? std::string(kNoStation) : station}, counts));
    std::vector<std::vector<std::string>> days{Heads({"Day (UTC)"})};
    for (const auto& [day, counts] : report.Days()) days.push_back(Row({day}, counts));
    WriteTable(out, "Images", images, 2);
    WriteTable(out, "Stations", stations, 1);
    WriteTable(out, "Days", days, 1);
    WriteTable(out, "All",
               {Heads({"Records", "Logs"}),
                Row({std::to_string(report.Records()), std::to_string(logs)}, report.Total())},
               0);
}

ordered_json CountsJson(ordered_json line, const TReportCounts& c) {
    line["attempts"] = c.Attempts;
    line["done"] = c.Done;
    line["units"] = c.Units;
    line["done_units"] = c.DoneUnits;
    line["first_pass_units"] = c.FirstPassUnits;
    ordered_json outcomes = ordered_json::object();
    for (const auto& [outcome, count] : c.Outcomes) outcomes[outcome] = count;
    line["outcomes"] = outcomes;
    for (auto [name, yield] :
         {std::pair{"first_pass_yield", c.FirstPassYield()}, {"final_yield", c.FinalYield()}})
        line[name] = yield ? ordered_json(*yield) : ordered_json();
    return line;
}

ordered_json TextOrNull(const std::string& text) {
    return text.empty() ? ordered_json() : ordered_json(text);
}

void WriteJson(std::ostream& out, const TLogReport& report, const TReportRequest& request, uint64_t skipped) {
    for (const TImageRow& image : report.Images())
        WriteJsonLine(
            out, CountsJson({{"event", "image"}, {"sha256", TextOrNull(image.Sha256)}, {"name", image.Name}},
                            image.Counts));
    for (const auto& [station, counts] : report.Stations())
        WriteJsonLine(out, CountsJson({{"event", "station"}, {"station", TextOrNull(station)}}, counts));
    for (const auto& [day, counts] : report.Days())
        WriteJsonLine(out, CountsJson({{"event", "day"}, {"day", day}}, counts));
    const auto bound = [](const std::optional<std::string>& day) {
        return day ? ordered_json(*day) : ordered_json();
    };
    WriteJsonLine(out, CountsJson({{"event", "summary"},
                                   {"logs", request.Logs.size()},
                                   {"records", report.Records()},
                                   {"skipped_lines", skipped},
                                   {"since", bound(request.Since)},
                                   {"until", bound(request.Until)}},
                                  report.Total()));
}

// Reads one log into report; lines that are not records are told and counted.
void ReadLog(const std::string& log, TLogReport& report, std::ostream& err, uint64_t& skipped) {
    TLogLineReader reader(log);
    if (!IsDownloadLog(reader.Head().substr(0, kLogHeadBytes)))
        throw ENotALog("Cannot read the log " + Quoted(log) +
                       ": it is not a log (it starts neither with the log's header row nor with a record)");
    std::string_view text;
    while (reader.Next(text)) {
        const TLogLine line = ReadLogLine(text);
        if (line.Kind == TLineKind::Record) {
            report.Add(line.Record);
        } else if (line.Kind == TLineKind::NotARecord) {
            err << log << ':' << reader.LineNumber() << ": " << line.Why << "; skipped\n";
            ++skipped;
        }
    }
}

std::string DaysText(const TReportRequest& request) {
    std::string text;
    if (request.Since) text += "from " + *request.Since;
    if (request.Until) text += (text.empty() ? "up to " : " to ") + *request.Until;
    return text;
}

}  // namespace

std::optional<std::string> ReportUsageError(const TReportRequest& request) {
    for (auto [option, day] : {std::pair{"--since", &request.Since}, {"--until", &request.Until}})
        if (*day && !IsReportDay(**day))
            return std::string(option) + ": " + Quoted(**day) + " is not a day as YYYY-MM-DD (UTC)";
    if (request.Since && request.Until && *request.Until < *request.Since)
        return "--until: " + Quoted(*request.Until) + " is before --since " + Quoted(*request.Since);
    if (!request.Html) return std::nullopt;
    // The page replaces its file: never a log being read, nor an image.
    if (OpenKindOf(*request.Html) != TImageKind::Ignored)
        return "--html: " + Quoted(*request.Html) + " is a firmware image's name, not a page's";
    for (const std::string& log : request.Logs)
        if (log == *request.Html || rt::SameFile(log, *request.Html))
            return "--html: " + Quoted(*request.Html) + " is one of the logs read";
    return std::nullopt;
}

int RunReportCommand(const TReportRequest& request, std::ostream& out, std::ostream& err) {
    TLogReport report(request.Since, request.Until);
    uint64_t skipped = 0;
    int code = kExitDone;
    const auto failed = [&](const std::string& path) {
        const std::exception_ptr failure = std::current_exception();
        err << FailureText(failure) << '\n';
        if (request.Json)
            WriteJsonLine(out, {{"event", "error"}, {"path", path}, {"error", JsonError(failure)}});
        code = kExitFailed;
    };
    for (const std::string& log : request.Logs) {
        try {
            ReadLog(log, report, err, skipped);
        } catch (const rt::Exception&) {
            failed(log);
        }
    }
    if (request.Json)
        WriteJson(out, report, request, skipped);
    else
        WriteText(out, report, request.Logs.size());
    if (request.Html) {
        try {
            const std::string page = ReportPage(report, {request.Logs, DaysText(request), skipped});
            rt::WriteWholeFile(*request.Html, reinterpret_cast<const uint8_t*>(page.data()),
                               static_cast<int64_t>(page.size()));
        } catch (const rt::Exception&) {
            failed(*request.Html);
        }
    }
    return code;
}

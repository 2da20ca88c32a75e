// fwimage report: production logs read back and counted per image, station
// and day, as tables, JSON lines or a page.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

struct TReportRequest {
    std::vector<std::string> Logs;
    std::optional<std::string> Since, Until;  // YYYY-MM-DD, inclusive
    std::optional<std::string> Html;          // the page's file
    bool Json = false;
};

// The request's wrong usage in one line; none when it has none.
std::optional<std::string> ReportUsageError(const TReportRequest& request);

// 0, or 1 when a log could not be read or the page not written (told on err,
// and with --json on out too). A line that is not a record is told on err as
// LOG:LINE and skipped.
int RunReportCommand(const TReportRequest& request, std::ostream& out, std::ostream& err);

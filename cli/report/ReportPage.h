// The report as one self-contained HTML page: the tables, and charts of the
// yield per day and the outcomes per image drawn in inline SVG. Nothing is
// fetched from anywhere, so it opens in any browser offline.
#pragma once

#include <string>
#include <vector>

#include "report/LogReport.h"

struct TReportScope {
    std::vector<std::string> Logs;  // as given
    std::string Days;               // the --since/--until bounds in words, or empty
    uint64_t Skipped = 0;           // lines that are not records
};

std::string ReportPage(const TLogReport& report, const TReportScope& scope);

// text with &, <, >, " and ' as HTML writes them.
std::string HtmlEscaped(std::string_view text);

// The report's colour of an outcome: done green, failures warm, outcomes
// that sent nothing grey.
std::string OutcomeColour(std::string_view outcome);

#include "report/ReportPage.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <tuple>

namespace {

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string Yield(const std::optional<double>& yield) {
    return yield ? Number(*yield) + " %" : "&ndash;";
}

constexpr const char* kHeads[] = {
    "Attempts",         "Done",        "Units",   "Done units", "First-pass units",
    "First-pass yield", "Final yield", "Outcomes"};

std::string Cell(const std::string& text, bool number) {
    return std::string(number ? "<td class=\"n\">" : "<td>") + text + "</td>";
}

std::string OutcomeCells(const TReportCounts& c) {
    std::string cells;
    for (uint64_t n : {c.Attempts, c.Done, c.Units, c.DoneUnits, c.FirstPassUnits})
        cells += Cell(std::to_string(n), true);
    cells += Cell(Yield(c.FirstPassYield()), true) + Cell(Yield(c.FinalYield()), true);
    std::string outcomes;
    for (const auto& [outcome, count] : c.Outcomes)
        outcomes += "<span class=\"o\"><i style=\"background:" + OutcomeColour(outcome) + "\"></i>" +
                    HtmlEscaped(outcome) + " " + std::to_string(count) + "</span> ";
    return cells + "<td class=\"w\">" + outcomes + "</td>";
}

// A table: its heads, then each row's named cells (already escaped) and counts.
std::string Table(std::string_view title, std::vector<std::string> named,
                  const std::vector<std::pair<std::vector<std::string>, TReportCounts>>& rows) {
    std::string html = "<h2>" + std::string(title) + "</h2>\n<table>\n<tr>";
    for (const char* head : kHeads) named.push_back(head);
    for (const std::string& head : named) html += "<th>" + head + "</th>";
    html += "</tr>\n";
    for (const auto& [cells, counts] : rows) {
        html += "<tr>";
        for (const std::string& cell : cells) html += Cell(cell, false);
        html += OutcomeCells(counts) + "</tr>\n";
    }
    return html + "</table>\n";
}

constexpr int kChartWidth = 540, kChartHeight = 260;
constexpr int kLeft = 44, kRight = 12, kTop = 12, kBottom = 40;
constexpr const char* kFirstPassColour = "#1565c0";
constexpr const char* kFinalColour = "#2e7d32";

std::string Text(int x, int y, const std::string& text, const char* anchor = "start") {
    return "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" text-anchor=\"" + anchor +
           "\">" + text + "</text>";
}

std::string Rect(double x, double y, double w, double h, const std::string& fill, const std::string& title) {
    return "<rect x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" width=\"" + Number(w) + "\" height=\"" +
           Number(h) + "\" fill=\"" + fill + "\"><title>" + title + "</title></rect>";
}

// Two bars per day, the first-pass and the final yield, on 0 to 100 %.
std::string YieldChart(const std::vector<std::pair<std::string, TReportCounts>>& days) {
    const int plotWidth = kChartWidth - kLeft - kRight, plotHeight = kChartHeight - kTop - kBottom;
    std::string svg = "<svg width=\"" + std::to_string(kChartWidth) + "\" height=\"" +
                      std::to_string(kChartHeight) + "\" role=\"img\">";
    for (int percent : {0, 25, 50, 75, 100}) {
        const int y = kTop + plotHeight - plotHeight * percent / 100;
        svg += "<line x1=\"" + std::to_string(kLeft) + "\" x2=\"" + std::to_string(kLeft + plotWidth) +
               "\" y1=\"" + std::to_string(y) + "\" y2=\"" + std::to_string(y) + "\" stroke=\"#ddd\"/>";
        svg += Text(kLeft - 6, y + 4, std::to_string(percent) + " %", "end");
    }
    const double slot = days.empty() ? 0 : static_cast<double>(plotWidth) / static_cast<double>(days.size());
    // At most about a dozen day labels, whatever the number of days.
    const size_t every = std::max<size_t>(1, (days.size() + 11) / 12);
    for (size_t i = 0; i < days.size(); ++i) {
        const auto& [day, counts] = days[i];
        const double x = kLeft + slot * static_cast<double>(i);
        const double bar = std::max(slot * 0.38, 0.5);
        int n = 0;
        for (auto [yield, colour, what] :
             {std::tuple{counts.FirstPassYield(), kFirstPassColour, "first-pass"},
              std::tuple{counts.FinalYield(), kFinalColour, "final"}}) {
            const double height = yield ? plotHeight * *yield / 100.0 : 0;
            svg += Rect(x + slot * 0.1 + bar * n++, kTop + plotHeight - height, bar, height, colour,
                        day + ": " + what + " yield " + Yield(yield));
        }
        if (i % every == 0)
            svg += Text(static_cast<int>(x + slot / 2), kChartHeight - 22, day.substr(5), "middle");
    }
    svg += Rect(kLeft, kChartHeight - 14, 10, 10, kFirstPassColour, "") +
           Text(kLeft + 14, kChartHeight - 5, "first-pass yield") +
           Rect(kLeft + 140, kChartHeight - 14, 10, 10, kFinalColour, "") +
           Text(kLeft + 154, kChartHeight - 5, "final yield");
    return svg + "</svg>";
}

// One bar per image, its records by outcome, scaled to the image with most.
std::string OutcomeChart(const std::vector<TImageRow>& images) {
    constexpr int rowHeight = 26, labelWidth = 150;
    const int height = kTop + rowHeight * static_cast<int>(images.size()) + 8;
    std::string svg = "<svg width=\"" + std::to_string(kChartWidth) + "\" height=\"" +
                      std::to_string(height) + "\" role=\"img\">";
    uint64_t most = 1;
    for (const TImageRow& image : images) {
        uint64_t records = 0;
        for (const auto& [outcome, count] : image.Counts.Outcomes) records += count;
        most = std::max(most, records);
    }
    const double scale =
        static_cast<double>(kChartWidth - labelWidth - kRight - 40) / static_cast<double>(most);
    for (size_t i = 0; i < images.size(); ++i) {
        const TImageRow& image = images[i];
        const int y = kTop + rowHeight * static_cast<int>(i);
        std::string label = image.Name;
        // Cut at a character, 20 of them, when longer than 22.
        size_t characters = 0, cut = 0;
        for (size_t at = 0; at < label.size(); ++at)
            if ((static_cast<unsigned char>(label[at]) & 0xC0) != 0x80 && ++characters == 21) cut = at;
        if (characters > 22) label = label.substr(0, cut) + "…";
        svg += Text(labelWidth - 6, y + 15, HtmlEscaped(label), "end");
        double x = labelWidth;
        uint64_t records = 0;
        for (const auto& [outcome, count] : image.Counts.Outcomes) {
            const double width = scale * static_cast<double>(count);
            svg += Rect(x, y + 2, width, rowHeight - 8, OutcomeColour(outcome),
                        HtmlEscaped(image.Name + ": " + outcome + " " + std::to_string(count)));
            x += width;
            records += count;
        }
        svg += Text(static_cast<int>(x) + 4, y + 15, std::to_string(records));
    }
    return svg + "</svg>";
}

constexpr const char* kStyle =
    "body{font:14px/1.4 sans-serif;color:#222;margin:20px;max-width:1160px}"
    "h1{font-size:22px;margin:0 0 4px}h2{font-size:16px;margin:18px 0 6px}"
    "p{margin:2px 0}.charts{display:flex;gap:24px;flex-wrap:wrap}"
    "svg{font:11px sans-serif;fill:#444;background:#fafafa;border:1px solid #ddd}"
    "table{border-collapse:collapse}th,td{border:1px solid #ccc;padding:2px 7px}"
    "th{background:#eee;text-align:left}td{white-space:nowrap}td.n{text-align:right}td.w{white-space:normal}"
    ".o{white-space:nowrap}.o i{display:inline-block;width:9px;height:9px;margin-right:3px}";

}  // namespace

std::string HtmlEscaped(std::string_view text) {
    std::string html;
    for (char c : text) {
        switch (c) {
        case '&':
            html += "&amp;";
            break;
        case '<':
            html += "&lt;";
            break;
        case '>':
            html += "&gt;";
            break;
        case '"':
            html += "&quot;";
            break;
        case '\'':
            html += "&#39;";
            break;
        default:
            html += c;
        }
    }
    return html;
}

std::string OutcomeColour(std::string_view outcome) {
    if (outcome == "done") return kFinalColour;
    if (SendsNothing(outcome)) return "#9e9e9e";
    // Each failure its own warm colour, the same on every page.
    static constexpr const char* kWarm[] = {"#c62828", "#ef6c00", "#ad1457", "#f9a825", "#6d4c41", "#d84315"};
    size_t hash = 0;
    for (char c : outcome) hash = hash * 31 + static_cast<unsigned char>(c);
    return kWarm[hash % std::size(kWarm)];
}

std::string ReportPage(const TLogReport& report, const TReportScope& scope) {
    const TReportCounts total = report.Total();
    std::string logs;
    for (const std::string& log : scope.Logs) logs += (logs.empty() ? "" : ", ") + HtmlEscaped(log);
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<title>Download report</title><style>" +
        std::string(kStyle) + "</style></head><body>\n<h1>Download report</h1>\n";
    html += "<p>" + std::to_string(report.Records()) + " records from " + logs +
            (scope.Days.empty() ? "" : "; days " + HtmlEscaped(scope.Days) + " (UTC)") +
            "; lines skipped: " + std::to_string(scope.Skipped) + "</p>\n";
    html += "<p>All: " + std::to_string(total.Attempts) + " attempts, " + std::to_string(total.Units) +
            " units, first-pass yield " + Yield(total.FirstPassYield()) + ", final yield " +
            Yield(total.FinalYield()) + "</p>\n";
    const std::vector<TImageRow> images = report.Images();
    const auto days = report.Days();
    html += "<div class=\"charts\"><div><h2>Yield per day</h2>" + YieldChart(days) +
            "</div><div><h2>Outcomes per image</h2>" + OutcomeChart(images) + "</div></div>\n";
    std::vector<std::pair<std::vector<std::string>, TReportCounts>> rows;
    for (const TImageRow& image : images)
        rows.push_back({{image.Sha256.empty() ? "(none)"
                                              : "<span title=\"" + image.Sha256 + "\">" +
                                                    image.Sha256.substr(0, 16) + "…</span>",
                         HtmlEscaped(image.Name)},
                        image.Counts});
    html += Table("Images", {"SHA-256", "Name"}, rows);
    rows.clear();
    for (const auto& [station, counts] : report.Stations())
        rows.push_back({{station.empty() ? "(not recorded)" : HtmlEscaped(station)}, counts});
    html += Table("Stations", {"Station"}, rows);
    rows.clear();
    for (const auto& [day, counts] : days) rows.push_back({{HtmlEscaped(day)}, counts});
    html += Table("Days (UTC)", {"Day"}, rows);
    return html + "</body></html>\n";
}

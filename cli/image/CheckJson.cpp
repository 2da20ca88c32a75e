#include "image/CheckJson.h"

#include <type_traits>

#include "JsonOutput.h"
#include "check/HexCheckText.h"

nlohmann::ordered_json CheckJson(const std::string& fileName, const TCheckResult& result) {
    nlohmann::ordered_json findings = nlohmann::ordered_json::array();
    for (const TFinding& finding : result.Findings) {
        nlohmann::ordered_json item = {
            {"path", fileName},
            {"line", finding.Line > 0 ? nlohmann::ordered_json(finding.Line) : nlohmann::ordered_json()},
            {"severity", SeverityName(finding.Severity)},
            {"kind", finding.Kind},
            {"text", finding.Text}};
        for (const TFindingDetail& detail : finding.Details) {
            item[detail.Name] = std::visit(
                [](const auto& value) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::monostate>)
                        return nlohmann::ordered_json();
                    else
                        return nlohmann::ordered_json(value);
                },
                detail.Value);
        }
        findings.push_back(std::move(item));
    }
    nlohmann::ordered_json json = {
        {"path", fileName}, {"exit_code", result.ExitCode()}, {"findings", std::move(findings)}};
    if (!result.Omitted.empty()) {
        nlohmann::ordered_json omitted = nlohmann::ordered_json::object();
        for (const auto& [kind, rest] : result.Omitted) omitted[kind] = rest.Count;
        json["omitted"] = std::move(omitted);
        json["last_omitted_line"] = result.LastOmittedLine();
    }
    if (result.Unreadable) json["error"] = JsonError(result.Findings.back().Text, result.OsCode);
    return json;
}

std::vector<std::string> OmittedLines(const std::string& fileName, const TCheckResult& result) {
    std::vector<std::string> lines;
    for (const auto& [kind, rest] : result.Omitted)
        lines.push_back(FindingLine(fileName, checktext::Omitted(kind, rest)));
    return lines;
}

// fwimage check: what a release check finds in an image file that the
// window's Open passes over in silence, and whether the window would refuse
// the file at all.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

enum class TSeverity { Error, Warning, Note };

struct TFinding {
    uint64_t Line;  // from 1; 0 for the file as a whole
    TSeverity Severity;
    std::string Kind;
    std::string Text;
    nlohmann::ordered_json Fields = nlohmann::ordered_json::object();  // the details, for --json
};

struct TCheckResult {
    // The window would refuse the file (or it cannot be read): the one finding
    // says why.
    bool Refused = false;
    std::vector<TFinding> Findings;
    int ExitCode() const;
};

// Reads fileName as the window's Open does, without building its image:
// once, and again up to the last overlapping record when records overlap.
TCheckResult CheckImageFile(const std::string& fileName);

// "FILE:LINE: severity: text", or "FILE: severity: text" for the whole file.
std::string FindingLine(const std::string& fileName, const TFinding& finding);

nlohmann::ordered_json CheckJson(const std::string& fileName, const TCheckResult& result);

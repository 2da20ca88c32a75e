// fwimage check: what a release check finds in an image file that the
// window's Open passes over in silence, and whether the window would refuse
// the file at all. Portable; the JSON form lives with the command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

enum class TSeverity { Error, Warning, Note };

// One detail of a finding, for machine-readable output: null, flag, number or text.
struct TFindingDetail {
    std::string Name;
    std::variant<std::monostate, bool, uint64_t, std::string> Value;
};

struct TFinding {
    uint64_t Line;  // from 1; 0 for the file as a whole
    TSeverity Severity;
    std::string Kind;
    std::string Text;
    std::vector<TFindingDetail> Details = {};
};

struct TCheckResult {
    // The window would refuse the file (or it cannot be read): the one finding
    // says why.
    bool Refused = false;
    std::vector<TFinding> Findings;
    // The file could not be read as an image at all (its refusal's text
    // stands as the one finding): the system's code, when it gave one.
    bool Unreadable = false;
    std::optional<uint32_t> OsCode;
    int ExitCode() const;
};

// Reads fileName as the window's Open does, without building its image:
// once, and again up to the last rewritten record when records overlap.
TCheckResult CheckImageFile(const std::string& fileName);

// "FILE:LINE: severity: text", or "FILE: severity: text" for the whole file.
std::string FindingLine(const std::string& fileName, const TFinding& finding);

const char* SeverityName(TSeverity severity);

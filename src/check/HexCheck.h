// fwimage check: what a release check finds in an image file that the
// window's Open passes over in silence, and whether the window would refuse
// the file at all. Portable; the JSON form lives with the command.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
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

// Findings of one kind past this many are counted, not told.
inline constexpr uint64_t kShownPerKind = 1000;

// Findings of one kind that were counted but not told.
struct TOmitted {
    uint64_t Count = 0;
    uint64_t LastLine = 0;
    TSeverity Severity = TSeverity::Note;  // the worst of them
};

struct TCheckResult {
    // The window would refuse the file (or it cannot be read): the last
    // finding says why, and nothing found after its line is told.
    bool Refused = false;
    // The findings told, in the order found: at most kShownPerKind of a kind.
    std::vector<TFinding> Findings;
    // Each kind with more than kShownPerKind findings: the rest.
    std::map<std::string, TOmitted> Omitted;
    // Some finding, told or not, is a warning.
    bool AnyWarning = false;
    // The file could not be read as an image at all (its refusal's text
    // stands as the one finding): the system's code, when it gave one.
    bool Unreadable = false;
    std::optional<uint32_t> OsCode;
    int ExitCode() const;
    uint64_t LastOmittedLine() const;
};

// Told each finding as soon as it is found (and not omitted).
using TFindingSink = std::function<void(const TFinding&)>;

// Reads fileName as the window's Open does, without building its image:
// once, and again up to the last rewritten record when records overlap.
// Its memory is bounded whatever the file: findings past kShownPerKind of a
// kind are only counted.
TCheckResult CheckImageFile(const std::string& fileName, const TFindingSink& told = {});

// "FILE:LINE: severity: text", or "FILE: severity: text" for the whole file.
std::string FindingLine(const std::string& fileName, const TFinding& finding);

const char* SeverityName(TSeverity severity);

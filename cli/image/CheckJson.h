// fwimage check --json: one file's findings as one JSON value.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "check/HexCheck.h"

nlohmann::ordered_json CheckJson(const std::string& fileName, const TCheckResult& result);

// The text form's closing lines: for each kind with findings not told, how
// many and the last one's line.
std::vector<std::string> OmittedLines(const std::string& fileName, const TCheckResult& result);

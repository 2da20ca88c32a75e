// fwimage check --json: one file's findings as one JSON value.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "check/HexCheck.h"

nlohmann::ordered_json CheckJson(const std::string& fileName, const TCheckResult& result);

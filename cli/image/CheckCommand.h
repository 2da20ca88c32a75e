// fwimage check: every finding of every file, as lines or JSON.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Every finding of every file; the worst file's code: a refused one over one
// with findings.
int CheckFiles(const std::vector<std::string>& fileNames, bool json, std::ostream& out);

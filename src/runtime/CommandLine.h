// The program's arguments after its own name, UTF-8. One implementation per
// platform.
#pragma once

#include <string>
#include <vector>

namespace rt {

// Windows reads the wide command line and ignores argc/argv, which hold the
// ANSI code page's lossy copy.
std::vector<std::string> CommandArgs(int argc, char** argv);

}  // namespace rt

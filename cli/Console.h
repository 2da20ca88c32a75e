// What fwimage needs of the platform: its arguments as UTF-8 and the two
// output streams. One implementation per platform.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// The arguments after the program name, UTF-8.
std::vector<std::string> CommandArgs(int argc, char** argv);

// Standard output and standard error, taking UTF-8.
std::ostream& ConsoleOut();
std::ostream& ConsoleErr();

// The fwimage command line: dispatch of the commands, independent of how the
// arguments and the console reach the program.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Runs one fwimage command. args are the UTF-8 arguments after the program
// name; results go to out, failures and usage to err. Returns the exit code:
// 0 done, 1 a failure, 2 wrong usage, and a download's own (ExitCodes.h).
int RunFwimage(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// fwimage's help: the whole of it, or one command's part.
#pragma once

#include <string>
#include <string_view>

// fwimage --help.
std::string WholeHelp();
// fwimage COMMAND --help: its usage lines and its part of the commands, the
// notes on arguments, and the exit codes it can give.
std::string CommandHelp(std::string_view command);

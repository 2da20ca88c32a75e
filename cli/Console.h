// What fwimage needs of the platform beside its arguments: the two output
// streams. One implementation per platform.
#pragma once

#include <ostream>

// Standard output and standard error, taking UTF-8.
std::ostream& ConsoleOut();
std::ostream& ConsoleErr();

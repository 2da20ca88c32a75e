// What fwimage needs of the platform beside its arguments: the two output
// streams. One implementation per platform.
#pragma once

#include <ostream>

// Before the first ConsoleOut() or ConsoleErr(): text that goes to a file or
// a pipe is UTF-8 whatever the console's code page.
void UseUtf8Output();

// Standard output and standard error, taking UTF-8.
std::ostream& ConsoleOut();
std::ostream& ConsoleErr();

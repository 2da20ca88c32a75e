#include "Console.h"

#include <fcntl.h>
#include <unistd.h>

#include <iostream>

namespace {
// A standard stream that was closed gets a read-only stand-in, so that no
// file opened later takes its number and receives the output, and writing
// to it fails as it should.
void HoldClosed(int fd) {
    if (::fcntl(fd, F_GETFD) == -1) ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}
}  // namespace

// Always UTF-8.
void UseUtf8Output() {}

std::ostream& ConsoleOut() {
    HoldClosed(STDOUT_FILENO);
    return std::cout;
}
std::ostream& ConsoleErr() {
    HoldClosed(STDERR_FILENO);
    return std::cerr;
}

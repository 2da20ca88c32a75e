#include "Console.h"

#include <iostream>

std::vector<std::string> CommandArgs(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::ostream& ConsoleOut() {
    return std::cout;
}
std::ostream& ConsoleErr() {
    return std::cerr;
}

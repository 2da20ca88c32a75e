#include "Console.h"

#include <iostream>

std::ostream& ConsoleOut() {
    return std::cout;
}
std::ostream& ConsoleErr() {
    return std::cerr;
}

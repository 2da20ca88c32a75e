#include "runtime/CommandLine.h"

namespace rt {

std::vector<std::string> CommandArgs(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace rt

// fwimage run in the test's process: its exit code and both outputs.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "FwimageMain.h"

struct TRun {
    int code;
    std::string out;
    std::string err;
};

inline TRun RunTool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = RunFwimage(args, out, err);
    return {code, out.str(), err.str()};
}

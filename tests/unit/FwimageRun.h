// fwimage run in the test's process: its exit code and both outputs.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "FwimageMain.h"
#include "TestSupport.h"

struct TRun {
    int code;
    std::string out;
    std::string err;
};

inline TRun RunTool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = RunFwimage(args, out, err);
    for (const std::string& arg : args)
        if (arg == "--json") testsupport::KeepJsonLines(out.str());
    return {code, out.str(), err.str()};
}

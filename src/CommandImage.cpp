#include "CommandImage.h"

#include "runtime/Display.h"

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

void OpenCommandImage(const std::string& fileName, TImageInfo& info, THexRuns* runs) {
    if (!OpenImage(fileName, info, runs))
        throw ECommandError("Cannot open file " + Quoted(fileName) +
                            ": only .hex, .bin and .lock files are images");
}

std::string FailureText(std::exception_ptr failure) {
    return rt::FailureDisplayText(rt::FailureMessage(failure));
}

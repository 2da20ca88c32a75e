#include "image/CheckCommand.h"

#include "check/HexCheck.h"
#include "image/CheckJson.h"
#include "image/ExitCodes.h"
#include "JsonOutput.h"

int CheckFiles(const std::vector<std::string>& fileNames, bool json, std::ostream& out) {
    int code = kExitDone;
    for (const std::string& fileName : fileNames) {
        // Text is told as found; a file's JSON line comes when the file is done.
        const TCheckResult result = CheckImageFile(
            fileName, json ? TFindingSink() : [&](const TFinding& finding) {
                out << FindingLine(fileName, finding) << '\n';
            });
        if (json) {
            WriteJsonLine(out, CheckJson(fileName, result));
        } else {
            for (const std::string& line : OmittedLines(fileName, result)) out << line << '\n';
        }
        if (code != kExitFailed && result.ExitCode() != kExitDone) code = result.ExitCode();
    }
    return code;
}

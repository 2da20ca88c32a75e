#include "image/CheckCommand.h"

#include "check/HexCheck.h"
#include "image/CheckJson.h"
#include "image/ExitCodes.h"
#include "JsonOutput.h"

int CheckFiles(const std::vector<std::string>& fileNames, bool json, std::ostream& out) {
    int code = kExitDone;
    for (const std::string& fileName : fileNames) {
        const TCheckResult result = CheckImageFile(fileName);
        if (json) {
            WriteJsonLine(out, CheckJson(fileName, result));
        } else {
            for (const TFinding& finding : result.Findings) out << FindingLine(fileName, finding) << '\n';
        }
        if (code != kExitFailed && result.ExitCode() != kExitDone) code = result.ExitCode();
    }
    return code;
}

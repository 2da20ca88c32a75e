#include "DownloadCommand.h"

#include "ExitCodes.h"

int RunDownloadCommand(const TDownloadRequest&, std::ostream&, std::ostream& err) {
    err << "fwimage download: downloading needs the Windows program fwimage.exe, which drives the "
           "instrument through DFU.dll; this build cannot download\n";
    return kExitUsage;
}

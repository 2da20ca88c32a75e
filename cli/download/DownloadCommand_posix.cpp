#include "download/DownloadCommand.h"

#include "image/CommandImage.h"
#include "download/DownloadJson.h"
#include "image/ExitCodes.h"

int RunDownloadCommand(const TDownloadRequest& request, std::ostream& out, std::ostream& err) {
    const std::string text =
        "fwimage download: downloading needs the Windows program fwimage.exe, which drives the "
        "instrument through DFU.dll; this build cannot download";
    err << text << '\n';
    if (request.Json) TellError(out, request.Image, std::make_exception_ptr(ECommandError(text)));
    return kExitUsage;
}

// fwimage download on Windows: the flow from the open image to the first
// library call; every ending is told, recorded and given its exit code by
// ConcludeDownload.
#include "DownloadCommand.h"

#include <windows.h>

#include <chrono>
#include <memory>

#include "CommandImage.h"
#include "ConsoleControl.h"
#include "ConsoleQuestion.h"
#include "DownloadEndings.h"
#include "DownloadLog.h"
#include "DownloadTransfer.h"
#include "LoadedDevice.h"
#include "WindowDownload.h"
#include "runtime/FileIO.h"

namespace {

constexpr DWORD kHandlerGraceMs = 500;

using TClock = std::chrono::steady_clock;

// The steps from the open image to the ending; returns the exit code.
// confirmed: when the download was confirmed, for its record.
int Download(const TDownloadRequest& request, const TImageInfo& info, std::string_view sha256,
             TConsoleControl& control, const TEndingSink& sink,
             std::optional<TClock::time_point>& confirmed) {
    const auto end = [&](TEnding ending, std::string_view detail = {}) {
        control.Conclude();
        return ConcludeDownload(ending, detail, sink);
    };
    if (control.Interrupted()) return end(TEnding::Interrupted);
    if (const std::string differs = ImageMismatch(request.Expected, info, sha256); !differs.empty())
        return end(TEnding::WrongImage, differs);
    // The window sends an empty image as it is; a script that does has
    // surely been given the wrong file.
    if (info.Size == 0) return end(TEnding::Empty);
    if (!request.Yes) {
        if (!InputIsConsole()) return end(TEnding::NotAsked);
        const TAnswer answer = AskOnConsole(kConfirmDownloadBox.Text);
        // A read that Ctrl+C cut may return before the handler has run.
        if (answer == TAnswer::Cut) WaitForSingleObject(control.WakeEvent(), kHandlerGraceMs);
        if (control.Interrupted()) return end(TEnding::Interrupted);
        if (answer != TAnswer::Yes) return end(TEnding::Declined);
    }
    confirmed = TClock::now();

    std::unique_ptr<TDevice> device;
    try {
        device = LoadDevice();
    } catch (...) {
        return end(TEnding::NoLibrary, FailureText(std::current_exception()));
    }
    if (!control.EnterLibrary()) return end(TEnding::Interrupted);
    return RunTransfer(request, *device, info, control, sink);
}

}  // namespace

int RunDownloadCommand(const TDownloadRequest& request, std::ostream& out, std::ostream& err) {
    TConsoleControl control;
    TImageInfo info;
    std::string fullPath;
    std::unique_ptr<TDownloadLogFile> log;
    std::string sha256;
    TEndingSink sink{out, err, nullptr};
    try {
        fullPath = rt::ExpandFileName(request.Image);
        // Before the image, which may take long to read: a log that cannot
        // take the record stops the command first.
        if (request.LogFile)
            log = std::make_unique<TDownloadLogFile>(*request.LogFile, LongestDownloadLogRecord(fullPath));
        OpenCommandImage(request.Image, info);
        if (log || request.Expected.Sha256) sha256 = ImageSha256(info);
    } catch (...) {
        control.Conclude();
        return ConcludeDownload(TEnding::NotOpened, FailureText(std::current_exception()), sink);
    }
    std::optional<TClock::time_point> confirmed;
    if (log) {
        sink.Record = [&](std::string_view outcome, int code) {
            const auto seconds = confirmed ? WholeSeconds(TClock::now() - *confirmed) : 0;
            return log->Append(DownloadRecordText({.UtcTime = UtcTimeText(std::chrono::system_clock::now()),
                                                   .FullPath = fullPath,
                                                   .Size = info.Size,
                                                   .Sum = info.Sum,
                                                   .Outcome = outcome,
                                                   .ExitCode = code,
                                                   .Sha256 = sha256,
                                                   .Seconds = seconds,
                                                   .Tool = kFwimageTool,
                                                   .Unit = {}}));
        };
    }
    if (!request.Quiet)
        for (const std::string& line : SummaryLines(request.Image, info)) out << line << '\n';
    return Download(request, info, sha256, control, sink, confirmed);
}

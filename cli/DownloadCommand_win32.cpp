// fwimage download on Windows: the flow from the open image to the first
// library call; every ending is told, recorded and given its exit code by
// ConcludeDownload.
#include "DownloadCommand.h"

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "CommandImage.h"
#include "ConsoleControl.h"
#include "ConsoleQuestion.h"
#include "DownloadEndings.h"
#include "DownloadJson.h"
#include "DownloadLog.h"
#include "DownloadTransfer.h"
#include "LoadedDevice.h"
#include "WindowDownload.h"
#include "runtime/FileIO.h"
#include "runtime/FileName.h"

namespace {

constexpr DWORD kHandlerGraceMs = 500;

using TClock = std::chrono::steady_clock;

// The first unit's steps before the library: the checks and the question.
// The ending when they stop it.
std::optional<TEnding> Confirm(const TDownloadRequest& request, const TImageInfo& info,
                               std::string_view sha256, TConsoleControl& control, std::string& detail) {
    if (control.Interrupted()) return TEnding::Interrupted;
    detail = ImageMismatch(request.Expected, info, sha256);
    if (!detail.empty()) return TEnding::WrongImage;
    // The window sends an empty image as it is; a script that does has
    // surely been given the wrong file.
    if (!request.AllowEmpty && ImageHoldsNoData(request.Image, info)) return TEnding::Empty;
    if (request.Yes) return std::nullopt;
    if (!InputIsConsole()) return TEnding::NotAsked;
    const TAnswer answer = AskOnConsole(kConfirmDownloadBox.Text);
    // A read that Ctrl+C cut may return before the handler has run.
    if (answer == TAnswer::Cut) WaitForSingleObject(control.WakeEvent(), kHandlerGraceMs);
    if (control.Interrupted()) return TEnding::Interrupted;
    if (answer != TAnswer::Yes) return TEnding::Declined;
    return std::nullopt;
}

// What the units of one command share: the open image, the library once
// loaded, and when the current unit was confirmed, for its record.
struct TUnitJob {
    const TDownloadRequest& request;
    const TImageInfo& info;
    std::string_view sha256;
    TConsoleControl& control;
    TEndingSink& sink;
    std::unique_ptr<TDevice> device;
    std::optional<TClock::time_point> confirmed;
};

// One unit from its checks to its ending; returns its exit code. lastWords:
// as RunTransfer takes it.
int Unit(TUnitJob& job, const std::function<int(int)>& lastWords) {
    const auto end = [&](TEnding ending, std::string_view detail = {}) {
        job.control.Conclude();
        return ConcludeDownload(ending, detail, job.sink);
    };
    if (!job.device) {
        std::string detail;
        if (const std::optional<TEnding> stop =
                Confirm(job.request, job.info, job.sha256, job.control, detail))
            return end(*stop, detail);
        job.confirmed = TClock::now();
        try {
            job.device = LoadDevice();
        } catch (...) {
            return end(TEnding::NoLibrary, FailureText(std::current_exception()));
        }
    }
    if (!job.control.EnterLibrary()) return end(TEnding::Interrupted);
    return RunTransfer(job.request, *job.device, job.info, job.control, job.sink, lastWords);
}

// --repeat: units one after another until one ends the loop, Ctrl+C was
// pressed during one, or the prompt between them is not answered.
int Station(TUnitJob& job) {
    TStationTally tally;
    // A unit's ending that ends the process is the loop's too.
    const auto lastWords = [&](int unitCode) {
        tally.Add(unitCode);
        return ConcludeStation(tally, job.sink);
    };
    for (job.sink.Unit = 1;; ++job.sink.Unit) {
        const int code = Unit(job, lastWords);
        tally.Add(code);
        if (!StationGoesOn(code) || job.control.Presses() > 0) break;
        job.control.NextUnit();
        // Cut by Ctrl+C, a closed console or the input's end: no next unit.
        if (!PromptOnConsole(StationCountersLine(tally) + "\n" + std::string(kStationPrompt)) ||
            job.control.Interrupted())
            break;
        job.confirmed = TClock::now();
    }
    job.control.Conclude();
    return ConcludeStation(tally, job.sink);
}

}  // namespace

int RunDownloadCommand(const TDownloadRequest& request, std::ostream& out, std::ostream& err) {
    TConsoleControl control;
    TImageInfo info;
    std::string fullPath;
    std::unique_ptr<TDownloadLogFile> log;
    std::string sha256;
    // With --json the standard output carries only the events.
    std::ostream discarded(nullptr);
    TEndingSink sink{request.Json ? discarded : out, err, nullptr, request.Json ? &out : nullptr};
    if (request.Repeat && !InputIsConsole()) {
        control.Conclude();
        return ConcludeDownload(TEnding::NoStation, {}, sink);
    }
    try {
        fullPath = rt::ExpandFileName(request.Image);
        // Before the image, which may take long to read: a log that cannot
        // take the record stops the command first.
        if (request.LogFile)
            log = std::make_unique<TDownloadLogFile>(*request.LogFile, LongestDownloadLogRecord(fullPath),
                                                     request.Image);
        OpenCommandImage(request.Image, info);
        if (log || request.Expected.Sha256 || request.Json) sha256 = ImageSha256(info);
    } catch (const ELogRefused& refused) {
        control.Conclude();
        return ConcludeDownload(TEnding::LogRefused, refused.Message(), sink);
    } catch (...) {
        control.Conclude();
        // Ctrl+C cancels a read in progress: the interruption, not its failure.
        if (control.Interrupted()) return ConcludeDownload(TEnding::Interrupted, {}, sink);
        return ConcludeDownload(TEnding::NotOpened, FailureText(std::current_exception()), sink);
    }
    TUnitJob job{request, info, sha256, control, sink, nullptr, std::nullopt};
    if (log) {
        sink.Record = [&](std::string_view outcome, int code) {
            const auto seconds = job.confirmed ? WholeSeconds(TClock::now() - *job.confirmed) : 0;
            return log->Append(
                DownloadRecordText({.UtcTime = UtcTimeText(std::chrono::system_clock::now()),
                                    .FullPath = fullPath,
                                    .Size = info.Size,
                                    .Sum = info.Sum,
                                    .Outcome = outcome,
                                    .ExitCode = code,
                                    .Sha256 = sha256,
                                    .Seconds = seconds,
                                    .Tool = kFwimageTool,
                                    .Unit = sink.Unit > 0 ? std::optional(sink.Unit) : std::nullopt}));
        };
    }
    if (!request.Quiet && sink.Json)
        TellImage(out, rt::ExtractFileName(fullPath), fullPath, info, sha256);
    else if (!request.Quiet)
        for (const std::string& line : SummaryLines(request.Image, info)) out << line << '\n';
    if (request.Repeat) return Station(job);
    return Unit(job, [](int code) { return code; });
}

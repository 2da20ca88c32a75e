// fwimage download on Windows: the flow from the open image to the first
// library call; every ending is told, recorded and given its exit code by
// ConcludeDownload.
#include "DownloadCommand.h"

#include <windows.h>

#include <cstdio>
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

std::string UtcNow() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    return text;
}

// The first unit's steps before the library: the checks and the question.
// The ending when they stop it.
std::optional<TEnding> Confirm(const TDownloadRequest& request, const TImageInfo& info,
                               TConsoleControl& control) {
    if (control.Interrupted()) return TEnding::Interrupted;
    // The window sends an empty image as it is; a script that does has
    // surely been given the wrong file.
    if (info.Size == 0) return TEnding::Empty;
    if (request.Yes) return std::nullopt;
    if (!InputIsConsole()) return TEnding::NotAsked;
    const TAnswer answer = AskOnConsole(kConfirmDownloadBox.Text);
    // A read that Ctrl+C cut may return before the handler has run.
    if (answer == TAnswer::Cut) WaitForSingleObject(control.WakeEvent(), kHandlerGraceMs);
    if (control.Interrupted()) return TEnding::Interrupted;
    if (answer != TAnswer::Yes) return TEnding::Declined;
    return std::nullopt;
}

// One unit from its checks to its ending; returns its exit code. The
// library, once loaded, serves the units after it.
int Unit(const TDownloadRequest& request, const TImageInfo& info, TConsoleControl& control,
         const TEndingSink& sink, std::unique_ptr<TDevice>& device,
         const std::function<int(int)>& lastWords) {
    const auto end = [&](TEnding ending, std::string_view detail = {}) {
        control.Conclude();
        return ConcludeDownload(ending, detail, sink);
    };
    if (!device) {
        if (const std::optional<TEnding> stop = Confirm(request, info, control)) return end(*stop);
        try {
            device = LoadDevice();
        } catch (...) {
            return end(TEnding::NoLibrary, FailureText(std::current_exception()));
        }
    }
    if (!control.EnterLibrary()) return end(TEnding::Interrupted);
    return RunTransfer(request, *device, info, control, sink, lastWords);
}

// --repeat: units one after another until one ends the loop, Ctrl+C was
// pressed during one, or the prompt between them is not answered.
int Station(const TDownloadRequest& request, const TImageInfo& info, TConsoleControl& control,
            TEndingSink& sink) {
    std::unique_ptr<TDevice> device;
    TStationTally tally;
    // A unit's ending that ends the process is the loop's too.
    const auto lastWords = [&](int unitCode) {
        tally.Add(unitCode);
        return ConcludeStation(tally, sink);
    };
    for (sink.Unit = 1;; ++sink.Unit) {
        const int code = Unit(request, info, control, sink, device, lastWords);
        tally.Add(code);
        if (!StationGoesOn(code) || control.Presses() > 0) break;
        control.NextUnit();
        if (!PromptOnConsole(StationCountersLine(tally) + "\n" + std::string(kStationPrompt)))
            WaitForSingleObject(control.WakeEvent(), kHandlerGraceMs);
        if (control.Interrupted()) break;
    }
    control.Conclude();
    return ConcludeStation(tally, sink);
}

}  // namespace

int RunDownloadCommand(const TDownloadRequest& request, std::ostream& out, std::ostream& err) {
    TConsoleControl control;
    TImageInfo info;
    std::string fullPath;
    std::unique_ptr<TDownloadLogFile> log;
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
            log = std::make_unique<TDownloadLogFile>(*request.LogFile, LongestDownloadLogRecord(fullPath));
        OpenCommandImage(request.Image, info);
    } catch (...) {
        control.Conclude();
        return ConcludeDownload(TEnding::NotOpened, FailureText(std::current_exception()), sink);
    }
    if (log)
        sink.Record = [&](std::string_view outcome, int code) {
            return log->Append(DownloadLogRecord(UtcNow(), fullPath, info, outcome, code));
        };
    if (!request.Quiet && sink.Json)
        TellImage(out, rt::ExtractFileName(fullPath), fullPath, info);
    else if (!request.Quiet)
        for (const std::string& line : SummaryLines(request.Image, info)) out << line << '\n';
    if (request.Repeat) return Station(request, info, control, sink);
    std::unique_ptr<TDevice> device;
    return Unit(request, info, control, sink, device, [](int code) { return code; });
}

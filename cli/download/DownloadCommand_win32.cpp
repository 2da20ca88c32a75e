// fwimage download on Windows: the flow from the open image to its ending.
// The library runs in a process of its own (LibraryHost.h), which this
// thread watches together with Ctrl+C and --timeout; every ending is told,
// recorded and given its exit code by the command's one TConclusion.
#include "download/DownloadCommand.h"

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "image/CommandImage.h"
#include "download/ConsoleControl.h"
#include "download/ConsoleProgress.h"
#include "download/ConsoleQuestion.h"
#include "download/DownloadConclusion.h"
#include "download/DownloadJson.h"
#include "download/DownloadLog.h"
#include "download/DownloadMutex.h"
#include "download/LogTail.h"
#include "download/SerialPrompt.h"
#include "host/LibraryHostClient.h"
#include "runtime/FileIO.h"
#include "runtime/FileName.h"

namespace {

constexpr DWORD kHandlerGraceMs = 500;
// Between two looks at the library's process, the console and the clock.
constexpr unsigned kTickMs = 10;

constexpr std::string_view kHeldLine =
    "Ctrl+C: загрузка сначала закончится, чтобы прошивка не осталась в приборе записанной наполовину; "
    "fwimage завершится после неё. Третье нажатие Ctrl+C завершит fwimage, не дожидаясь библиотеки DFU.dll; "
    "прибор тогда может остаться в режиме загрузки";
// Before each line the library itself writes.
constexpr std::string_view kLibraryPrefix = "DFU.dll: ";
constexpr std::string_view kLockTakenOverLine =
    "Программа, загружавшая прибор на этом компьютере, завершилась, не закончив загрузку; прибор может "
    "остаться в режиме загрузки. Загрузка продолжается";
constexpr std::string_view kLockFailedLine = "Не удалось проверить, не загружает ли прибор другая программа: ";

using TClock = std::chrono::steady_clock;

// The command's endings: the one place that lowers the Ctrl+C control,
// writes the record, tells the line and gives the exit code, for each unit
// and for a station loop's summary.
class TConclusion {
    // With --json the standard output carries only the events.
    std::ostream discarded_{nullptr};
    int lastCode_ = kExitFailed;

public:
    TConclusion(const TDownloadRequest& request, std::ostream& out, std::ostream& err)
        : control(EndingLine(TEnding::Interrupted, {})),
          sink{request.Json ? discarded_ : out, err, nullptr, request.Json ? &out : nullptr} {}

    // The unit's exit code. tail: after the line.
    int Unit(TEnding ending, std::initializer_list<std::string_view> details = {}, std::string_view tail = {}) {
        control.Conclude();
        lastCode_ = ConcludeDownload(ending, details, sink, tail);
        tally.Add(lastCode_);
        return lastCode_;
    }
    int LastCode() const { return lastCode_; }
    // The loop's exit code.
    int Station() {
        control.Conclude();
        return ConcludeStation(tally, sink);
    }

    TConsoleControl control;
    TEndingSink sink;
    TStationTally tally;
    // A record could not be written: a station stops, whatever the unit's code.
    bool recordLost = false;
};

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

// What the units of one command share: the open image, the library's
// process while it is sound, and when the current unit was confirmed, for
// its record.
struct TUnitJob {
    const TDownloadRequest& request;
    const TImageInfo& info;
    std::string_view sha256;
    TConclusion& end;
    std::optional<TConsoleProgress> progress;
    std::unique_ptr<TImageSection> image;
    std::unique_ptr<TLibraryHost> host;
    std::optional<TClock::time_point> confirmed;
    // The reading shown last; each unit starts from 0, as the first.
    uint32_t percent = 0;
    // The last library loaded is the simulated one; kept for the record, which
    // may come after its process has gone.
    bool simulated = false;
    // The computer's one-download lock, held by this thread from before the
    // unit's first library step until its last has returned or its process
    // has been ended.
    std::optional<TDownloadMutex> lock = {};
    // The log's done records by serial, read as the log grows.
    TSerialHistory history = {};
};

// Tells on the error output.
void TellErr(TUnitJob& job, std::string_view line) {
    job.end.sink.Err << line << '\n';
    job.end.sink.Err.flush();
}

// Busy when another download holds the lock (or it cannot be tried); a lock
// whose holder died is taken over, with a line.
std::optional<TEnding> TakeLock(TUnitJob& job) {
    const TDownloadLock& lock = job.lock.emplace().Lock();
    if (lock.Take == TDownloadLockTake::TakenOver) TellErr(job, kLockTakenOverLine);
    if (LockOwned(lock.Take)) return std::nullopt;
    if (lock.Take == TDownloadLockTake::Failed) TellErr(job, std::string(kLockFailedLine) + lock.Failure);
    job.lock.reset();
    return TEnding::Busy;
}

// The unit's serial asked on the console; the ending when none is given.
std::optional<TEnding> AskFirstSerial(TUnitJob& job) {
    const std::optional<std::string> serial = AskSerial(LineOnConsole, {});
    // A read that Ctrl+C cut may return before the handler has run.
    if (!serial) WaitForSingleObject(job.end.control.WakeEvent(), kHandlerGraceMs);
    if (job.end.control.Interrupted()) return TEnding::Interrupted;
    if (!serial) return TEnding::Declined;
    job.end.sink.Trace.Serial = *serial;
    return std::nullopt;
}

// A line when the log holds this serial done with this image already: the
// unit goes ahead all the same. The log is read whole once, then only what
// has been appended since.
void TellEarlierDone(TUnitJob& job) {
    const std::optional<std::string>& serial = job.end.sink.Trace.Serial;
    if (!serial || !job.request.LogFile) return;
    job.history.Take(ReadLogFrom(*job.request.LogFile, job.history.Taken()));
    if (const std::optional<TSerialHistory::TDone> done = job.history.LastDone(*serial, job.sha256))
        TellErr(job, AlreadyDoneLine(*serial, *done));
}

// One look at the library's process: its readings shown, its lines
// forwarded to the error output.
void Look(TUnitJob& job) {
    TLibraryHost& host = *job.host;
    host.Wait(job.end.control.WakeEvent(), kTickMs);
    const auto now = TClock::now().time_since_epoch();
    if (job.progress) {
        for (const uint32_t reading : host.State().Readings) {
            if (reading == kSearchingReading) {
                job.progress->Searching(now);
            } else if (reading != job.percent) {
                job.percent = reading;
                job.progress->Loading(reading, now);
            }
        }
        job.progress->Tick(now);
    }
    host.State().Readings.clear();
    const std::vector<std::string> lines = host.TakeLines();
    if (lines.empty()) return;
    if (job.progress) job.progress->Break();
    for (const std::string& line : lines) job.end.sink.Err << kLibraryPrefix << line << '\n';
    job.end.sink.Err.flush();
}

// The library loaded in a process of its own: nothing is sent meanwhile, so
// Ctrl+C ends the unit at once. The ending when it does not load.
std::optional<TEnding> Load(TUnitJob& job, const std::function<bool()>& overdue, THostEnding& failed) {
    try {
        if (!job.image) job.image = std::make_unique<TImageSection>(job.info);
        job.host = std::make_unique<TLibraryHost>(*job.image);
        job.end.control.WatchSession();
    } catch (...) {
        failed.First = FailureText(std::current_exception());
        return TEnding::NoHost;
    }
    while (!job.host->State().Loaded) {
        Look(job);
        if (job.end.control.Interrupted()) return TEnding::Interrupted;
        if (std::optional<THostEnding> ending = HostEnding(job.host->State())) {
            failed = *ending;
            return ending->Ending;
        }
        if (overdue()) return TEnding::LoadTimedOut;
    }
    job.simulated = job.host->State().Simulated;
    return std::nullopt;
}

// One unit from its checks to its ending; returns its ending and leaves its
// exit code to the conclusion. A unit whose library was lost takes its
// process with it.
TEnding Unit(TUnitJob& job) {
    TConsoleControl& control = job.end.control;
    const std::optional<unsigned> timeout = job.request.TimeoutSeconds;
    const std::string seconds = timeout ? std::to_string(*timeout) : "";
    std::optional<TEnding> stop;
    THostEnding detail{};
    if (!job.confirmed) {
        stop = Confirm(job.request, job.info, job.sha256, control, detail.First);
        if (!stop && job.request.AskSerial) stop = AskFirstSerial(job);
        if (stop) {
            job.end.Unit(*stop, {detail.First});
            return *stop;
        }
        job.confirmed = TClock::now();
    }
    // --timeout counts from the unit's first request to the library's process.
    const TClock::time_point start = TClock::now();
    const auto overdue = [&] { return timeout && TClock::now() - start >= std::chrono::seconds(*timeout); };
    TellEarlierDone(job);
    stop = TakeLock(job);
    if (!stop && !job.host) stop = Load(job, overdue, detail);
    if (!stop && !control.EnterLibrary()) stop = TEnding::Interrupted;
    if (!stop) {
        job.progress.reset();
        job.percent = 0;
        if (!job.request.Quiet && job.end.sink.Json)
            job.progress.emplace(*job.end.sink.Json, TProgressForm::Json);
        else if (!job.request.Quiet)
            job.progress.emplace(job.end.sink.Out, OutputIsConsole());
        job.host->Go();
        bool heldTold = false;
        while (!stop) {
            Look(job);
            // A close after the outcome is the next unit's, as before.
            const bool finished = job.host->State().Outcome.has_value();
            const TUnitSignals signals{
                .Closed = !finished && control.TakeClosed(), .Presses = control.Presses(), .Overdue = overdue()};
            stop = UnitStop(job.host->State(), signals, detail);
            if (!stop && signals.Presses > 0 && !heldTold) {
                heldTold = true;
                if (job.progress) job.progress->Break();
                job.end.sink.Err << kHeldLine << '\n';
                job.end.sink.Err.flush();
            }
        }
        if (job.progress) {
            const TLibraryCall step = job.host->State().Step;
            job.progress->Finish(*stop == TEnding::Done || *stop == TEnding::ReturnFailed ||
                                 (EndingRow(*stop).LibraryLost && step == TLibraryCall::ResetToAP));
        }
    }
    if (stop == TEnding::TimedOut || stop == TEnding::LoadTimedOut) detail.First = seconds;
    // Ended before its ending is told: its last words come first, none after.
    // A host that does not end within its bound is left to the job.
    bool mayRun = false;
    if (job.host && !job.host->State().Outcome) {
        mayRun = !job.host->End();
        job.host.reset();
    }
    // Only once the library's process is idle, gone or left behind may another download begin.
    job.lock.reset();
    job.end.Unit(*stop, {detail.First, detail.Second}, mayRun ? kLibraryMayRunTail : std::string_view());
    return *stop;
}

// --repeat: units one after another until one ends the loop, Ctrl+C was
// pressed during one, or the prompt between them is not answered.
int Station(TUnitJob& job) {
    TConsoleControl& control = job.end.control;
    for (job.end.sink.Unit = 1;; ++job.end.sink.Unit) {
        const TEnding ending = Unit(job);
        const TEndingRow& row = EndingRow(ending);
        // A record that could not be written ends the loop too.
        if (!row.StationGoesOn || job.end.recordLost || control.Presses() > 0) break;
        control.NextUnit();
        std::string lines = StationCountersLine(job.end.tally) + "\n";
        if (row.LibraryLost) lines = UnitNeedsAttentionLine(job.end.sink.Unit) + "\n" + lines;
        // Cut by Ctrl+C, a closed console or the input's end: no next unit.
        if (job.request.AskSerial) {
            std::optional<std::string> serial = AskSerial(LineOnConsole, lines);
            if (!serial || control.Interrupted()) break;
            job.end.sink.Trace.Serial = std::move(serial);
        } else if (!PromptOnConsole(lines + std::string(kStationPrompt)) || control.Interrupted()) {
            break;
        }
        job.confirmed = TClock::now();
    }
    return job.end.Station();
}

}  // namespace

int RunDownloadCommand(const TDownloadRequest& request, std::ostream& out, std::ostream& err) {
    TConclusion end(request, out, err);
    if ((request.Repeat || request.AskSerial) && !InputIsConsole())
        return end.Unit(TEnding::NoStation, {request.Repeat ? "--repeat" : "--ask-serial"});
    end.sink.Trace.Serial = request.Serial;
    TImageInfo info;
    std::string fullPath;
    std::unique_ptr<TDownloadLogFile> log;
    std::string sha256;
    // The log while a failure would be about it.
    const std::string* failedLog = nullptr;
    try {
        fullPath = rt::ExpandFileName(request.Image);
        // Before the image, which may take long to read: a log that cannot
        // take the record stops the command first.
        if (request.LogFile) {
            failedLog = &*request.LogFile;
            log = std::make_unique<TDownloadLogFile>(*request.LogFile, LongestDownloadLogRecord(fullPath),
                                                     request.Image);
            failedLog = nullptr;
        }
        OpenCommandImage(request.Image, info);
        if (log || request.Expected.Sha256 || request.Json) sha256 = ImageSha256(info);
    } catch (const ELogRefused& refused) {
        if (request.Json) TellError(out, request.Image, std::current_exception(), failedLog);
        return end.Unit(TEnding::LogRefused, {refused.Message()});
    } catch (...) {
        // Ctrl+C cancels a read in progress: the interruption, not its failure.
        if (end.control.Interrupted()) return end.Unit(TEnding::Interrupted);
        if (request.Json) TellError(out, request.Image, std::current_exception(), failedLog);
        return end.Unit(TEnding::NotOpened, {FailureText(std::current_exception())});
    }
    TUnitJob job{request, info, sha256, end, std::nullopt, nullptr, nullptr, std::nullopt};
    if (log) {
        end.sink.Record = [&](std::string_view outcome, int code) {
            const auto seconds = job.confirmed ? WholeSeconds(TClock::now() - *job.confirmed) : 0;
            const std::string tool = ToolColumn(kFwimageTool, job.simulated);
            std::optional<std::string> failure = log->Append(DownloadRecordText(
                {.UtcTime = UtcTimeText(std::chrono::system_clock::now()),
                 .FullPath = fullPath,
                 .Size = info.Size,
                 .Sum = info.Sum,
                 .Outcome = outcome,
                 .ExitCode = code,
                 .Sha256 = sha256,
                 .Seconds = seconds,
                 .Tool = tool,
                 .Unit = end.sink.Unit > 0 ? std::optional(end.sink.Unit) : std::nullopt,
                 .Serial = end.sink.Trace.Serial.value_or("")}));
            end.recordLost = end.recordLost || failure;
            return failure;
        };
    }
    if (!request.Quiet && end.sink.Json)
        TellImage(out, request.Image, fullPath, info, sha256);
    else if (!request.Quiet)
        for (const std::string& line : SummaryLines(request.Image, info)) out << line << '\n';
    if (request.Repeat) return Station(job);
    Unit(job);
    return end.LastCode();
}

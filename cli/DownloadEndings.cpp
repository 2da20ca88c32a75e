#include "DownloadEndings.h"

#include <array>

#include "DownloadRecord.h"
#include "DownloadJson.h"
#include "WindowDownload.h"
#include "runtime/Convert.h"

namespace {

// The ending of one of the session's outcomes: its record's name and code
// are those the window's records give it.
constexpr TEndingRow OutcomeRow(TEnding ending, TDownloadOutcome outcome, std::string_view line,
                                bool toError) {
    return {ending, line, toError, OutcomeRecord(outcome).LogName, OutcomeRecord(outcome).ExitCode};
}

// The window's box texts where the window has a box for the ending.
constexpr std::array<TEndingRow, 21> kEndings = {{
    OutcomeRow(TEnding::Done, TDownloadOutcome::Done, kDownloadDoneBox.Text, false),
    OutcomeRow(TEnding::LoaderRefused, TDownloadOutcome::LoaderRefused, kEnterLoaderFailedBox.Text, true),
    OutcomeRow(TEnding::TransferFailed, TDownloadOutcome::TransferFailed, kDownloadFailedBox.Text, true),
    OutcomeRow(TEnding::ReturnFailed, TDownloadOutcome::ReturnFailed, kLeaveLoaderFailedBox.Text, true),
    {TEnding::LoaderCrashed,
     "DFU_Reset_To_ISP crashed with exception {}; the instrument may be left in its loader mode", true,
     "loader-crashed", kExitLoaderRefused},
    {TEnding::TransferCrashed,
     "DFU_Download crashed with exception {}; the instrument may be left in its loader mode", true,
     "transfer-crashed", kExitTransferFailed},
    {TEnding::ReturnCrashed,
     "DFU_Reset_To_AP crashed with exception {}; the instrument may be left in its loader mode", true,
     "return-crashed", kExitReturnFailed},
    OutcomeRow(TEnding::Declined, TDownloadOutcome::Declined,
               "Not confirmed: nothing was sent to the instrument", true),
    {TEnding::NotAsked,
     "Not downloading: there is no console to ask on (standard input is not a terminal); add --yes to "
     "download without asking",
     true, "not-asked", kExitUsage},
    {TEnding::NotOpened, "{}", true, "", kExitFailed},
    {TEnding::LogRefused, "{}", true, "", kExitUsage},
    {TEnding::Empty, "Not downloading: the image is empty", true, "empty", kExitFailed},
    {TEnding::NoLibrary, "{}", true, "no-library", kExitFailed},
    {TEnding::NoThread, "{}", true, "failed", kExitFailed},
    {TEnding::Interrupted, "Interrupted: nothing was sent to the instrument", true, "interrupted",
     kExitInterrupted},
    {TEnding::Closed, "The console was closed while the library works; the instrument's state is unknown",
     true, "closed", kExitInterrupted},
    {TEnding::TimedOut,
     "Timed out: the library did not finish within {} s; fwimage ends without waiting for it, and the "
     "instrument may be left in its loader mode",
     true, "timed-out", kExitLibraryLeft},
    {TEnding::Abandoned,
     "Abandoned: fwimage ends without waiting for the library; the instrument may be left in its loader mode",
     true, "abandoned", kExitLibraryLeft},
    {TEnding::WrongImage, "Wrong image: {}; nothing was sent to the instrument", true, "wrong-image",
     kExitWrongImage},
    {TEnding::NoStation,
     "Not repeating: --repeat needs a console to prompt on between instruments (standard input is not a "
     "terminal)",
     true, "", kExitUsage},
    {TEnding::RecordLost, "{} The record of this download is lost.", true, "", kExitRecordLost},
}};

std::string LineOf(const TEndingRow& row, std::string_view detail) {
    std::string line(row.Line);
    if (const size_t at = line.find("{}"); at != std::string::npos) line.replace(at, 2, detail);
    return line;
}

void Tell(std::ostream& stream, const std::string& line, const TEndingSink& sink) {
    stream << line << '\n';
    sink.Out.flush();
    sink.Err.flush();
}

}  // namespace

const TEndingRow& EndingRow(TEnding ending) noexcept {
    for (const TEndingRow& row : kEndings)
        if (row.Ending == ending) return row;
    return kEndings.back();
}

TEnding EndingOf(TDownloadOutcome outcome) noexcept {
    switch (outcome) {
    case TDownloadOutcome::Declined:
        return TEnding::Declined;
    case TDownloadOutcome::LoaderRefused:
        return TEnding::LoaderRefused;
    case TDownloadOutcome::TransferFailed:
        return TEnding::TransferFailed;
    case TDownloadOutcome::ReturnFailed:
        return TEnding::ReturnFailed;
    case TDownloadOutcome::Done:
        break;
    }
    return TEnding::Done;
}

TEnding CrashEndingOf(TDownloadStep step) noexcept {
    if (step == TDownloadStep::Download) return TEnding::TransferCrashed;
    if (step == TDownloadStep::ResetToAP) return TEnding::ReturnCrashed;
    return TEnding::LoaderCrashed;
}

std::string ExceptionCodeText(uint32_t code) {
    return rt::IntToHex(code, 8);
}

int ConcludeDownload(TEnding ending, std::string_view detail, const TEndingSink& sink) noexcept {
    const TEndingRow& row = EndingRow(ending);
    const TEndingRow& lost = EndingRow(TEnding::RecordLost);
    try {
        const std::string line = LineOf(row, detail);
        Tell(row.ToError ? sink.Err : sink.Out, line, sink);
        int code = row.ExitCode;
        if (!row.LogName.empty() && sink.Record) {
            if (const std::optional<std::string> failure = sink.Record(row.LogName, row.ExitCode)) {
                Tell(sink.Err, LineOf(lost, *failure), sink);
                code = lost.ExitCode;
            }
        }
        if (sink.Json) TellEnded(*sink.Json, row.LogName, line, code, sink.Unit);
        return code;
    } catch (...) {
        // Out of memory while telling: whether the record was written is unknown.
    }
    return lost.ExitCode;
}

void TStationTally::Add(int unitCode) noexcept {
    if (unitCode == kExitDone) {
        ++Done;
    } else {
        ++Failed;
        LastFailedCode = unitCode;
    }
}

bool StationGoesOn(int unitCode) noexcept {
    // A crash, --timeout or the third Ctrl+C ends the process in its unit.
    return unitCode == kExitDone || unitCode == kExitLoaderRefused || unitCode == kExitTransferFailed ||
           unitCode == kExitReturnFailed;
}

std::string StationCountersLine(const TStationTally& tally) {
    return "Units done: " + std::to_string(tally.Done) + ", units failed: " + std::to_string(tally.Failed);
}

int ConcludeStation(const TStationTally& tally, const TEndingSink& sink) noexcept {
    const int code = tally.Failed == 0 ? kExitDone : tally.LastFailedCode;
    try {
        const unsigned units = tally.Done + tally.Failed;
        Tell(sink.Out,
             "Summary: " + std::to_string(units) + (units == 1 ? " unit, " : " units, ") +
                 std::to_string(tally.Done) + " done, " + std::to_string(tally.Failed) + " failed",
             sink);
        if (sink.Json) TellSummary(*sink.Json, tally.Done, tally.Failed, code);
    } catch (...) {
        // Out of memory while telling: the code stands.
    }
    return code;
}

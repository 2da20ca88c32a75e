#include "host/LibraryHost.h"

#include "download/DownloadConclusion.h"
#include "download/LibraryCalls.h"

void THostState::Take(std::string& bytes) {
    size_t at = 0;
    THostReport report;
    while (const size_t length = DecodeReport(std::string_view(bytes).substr(at), report)) {
        at += length;
        switch (report.Kind) {
        case THostReport::Entered:
            // The reports come in the order they were made, and the host
            // reports a reading before taking it.
            if (report.Call == TLibraryCall::ProcessCount)
                ReadingFresh = IspReturned;
            else if (report.Call != TLibraryCall::None)
                Step = report.Call;
            break;
        case THostReport::Returned:
            if (report.Call == TLibraryCall::ProcessCount && ReadingFresh) Readings.push_back(report.Value);
            if (report.Call == TLibraryCall::ResetToISP) IspReturned = true;
            break;
        case THostReport::Loaded:
            Loaded = true;
            Simulated = report.Value == 1;
            Step = TLibraryCall::ResetToISP;
            break;
        case THostReport::LoadFailed:
            LoadFailure = report.Text;
            break;
        case THostReport::Crashed:
            CrashCode = report.Value;
            CrashPolling = report.Call == TLibraryCall::ProcessCount;
            break;
        case THostReport::ThreadEnded:
            ThreadExit = report.Value;
            break;
        case THostReport::Finished:
            Outcome = static_cast<TDownloadOutcome>(report.Value);
            break;
        default:
            break;
        }
    }
    bytes.erase(0, at);
}

void THostState::NextUnit() {
    Step = TLibraryCall::ResetToISP;
    Outcome.reset();
    Readings.clear();
    IspReturned = ReadingFresh = false;
}

std::optional<THostEnding> HostEnding(const THostState& state) {
    if (state.LoadFailure)
        return THostEnding{*LibraryCallRow(TLibraryCall::Load).Failed, *state.LoadFailure, {}};
    if (state.Outcome) return std::nullopt;
    // The host's filter saw the crash; its exit code is then the same, or
    // under some systems not to be trusted.
    const std::optional<uint32_t> code = state.CrashCode ? state.CrashCode : state.ExitCode;
    if (!state.Loaded) {
        if (!code) return std::nullopt;
        return THostEnding{CrashedEnding(TLibraryCall::Load, TLibraryCall::Load), ExceptionCodeText(*code), {}};
    }
    std::string how;
    if (state.ThreadExit)
        how = "код выхода потока " + ExceptionCodeText(*state.ThreadExit);
    else if (state.CrashCode)
        how = "исключение " + ExceptionCodeText(*state.CrashCode);
    else if (state.ExitCode)
        how = "код выхода " + ExceptionCodeText(*state.ExitCode);
    else
        return std::nullopt;
    // Only the host's filter can tell the thread; any other death is the step's.
    const TLibraryCall call = state.CrashPolling && !state.ThreadExit ? TLibraryCall::ProcessCount : state.Step;
    return THostEnding{CrashedEnding(call, state.Step), std::string(LibraryCallRow(call).Name), how};
}

std::optional<TEnding> UnitStop(const THostState& state, const TUnitSignals& signals, THostEnding& detail) {
    if (state.Outcome) return EndingOf(*state.Outcome);
    if (signals.Closed) return TEnding::Closed;
    if (std::optional<THostEnding> ending = HostEnding(state)) {
        detail = *ending;
        return ending->Ending;
    }
    if (signals.Presses >= kAbandoningPresses) return TEnding::Abandoned;
    if (signals.Overdue) return TEnding::TimedOut;
    return std::nullopt;
}

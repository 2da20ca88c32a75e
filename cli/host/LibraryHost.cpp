#include "host/LibraryHost.h"

#include <cstring>

#include "download/DownloadConclusion.h"

void THostState::Take(std::string& bytes) {
    size_t at = 0;
    while (bytes.size() - at >= sizeof(THostReport)) {
        THostReport report;
        std::memcpy(&report, bytes.data() + at, sizeof report);
        size_t length = sizeof report;
        if (report.Kind == THostReport::LoadFailed) {
            if (bytes.size() - at - length < report.Value) break;
            LoadFailure = bytes.substr(at + length, report.Value);
            length += report.Value;
        }
        at += length;
        switch (report.Kind) {
        case THostReport::Entered:
            // The reports come in the order they were made, and the host
            // reports a reading before taking it.
            if (report.Call == THostCall::ProcessCount)
                ReadingFresh = IspReturned;
            else
                Step = report.Call;
            break;
        case THostReport::Returned:
            if (report.Call == THostCall::ProcessCount && ReadingFresh) Readings.push_back(report.Value);
            if (report.Call == THostCall::ResetToISP) IspReturned = true;
            break;
        case THostReport::Loaded:
            Loaded = true;
            Simulated = report.Value == 1;
            Step = THostCall::ResetToISP;
            break;
        case THostReport::Crashed:
            CrashCode = report.Value;
            CrashPolling = report.Call == THostCall::ProcessCount;
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
    Step = THostCall::ResetToISP;
    Outcome.reset();
    Readings.clear();
    IspReturned = ReadingFresh = false;
}

std::string_view CallName(THostCall call) {
    switch (call) {
    case THostCall::Load:
        return "DFU.dll";
    case THostCall::ResetToISP:
        return "DFU_Reset_To_ISP";
    case THostCall::Download:
        return "DFU_Download";
    case THostCall::ResetToAP:
        return "DFU_Reset_To_AP";
    case THostCall::ProcessCount:
        break;
    }
    return "DFU_Get_ProcessCount";
}

std::optional<THostEnding> HostEnding(const THostState& state) {
    if (state.LoadFailure) return THostEnding{TEnding::NoLibrary, *state.LoadFailure, {}};
    if (state.Outcome) return std::nullopt;
    // The host's filter saw the crash; its exit code is then the same, or
    // under some systems not to be trusted.
    const std::optional<uint32_t> code = state.CrashCode ? state.CrashCode : state.ExitCode;
    if (!state.Loaded) {
        if (!code) return std::nullopt;
        return THostEnding{TEnding::LoadCrashed, ExceptionCodeText(*code), {}};
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
    const TEnding ending = state.Step == THostCall::Download    ? TEnding::TransferCrashed
                           : state.Step == THostCall::ResetToAP ? TEnding::ReturnCrashed
                                                                : TEnding::LoaderCrashed;
    // Only the host's filter can tell the thread; any other death is the step's.
    const THostCall call = state.CrashPolling && !state.ThreadExit ? THostCall::ProcessCount : state.Step;
    return THostEnding{ending, std::string(CallName(call)), how};
}

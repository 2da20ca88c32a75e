// The library's process: fwimage.exe started again in its host mode loads
// DFU.dll, runs a unit's steps when told and reports each call over a pipe,
// while fwimage watches it from outside. Anything the library does, its
// process's death included, is then an ending fwimage tells and records. The
// reports and what fwimage makes of them are portable; the processes are
// Windows (LibraryHostClient.h, LibraryHostMain_win32.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/Download.h"
#include "download/DownloadEndings.h"
#include "host/HostProtocol.h"

// What fwimage knows of its host.
struct THostState {
    bool Loaded = false;
    bool Simulated = false;
    std::optional<std::string> LoadFailure;
    // The step a death is put down to: the one entered last, else the next.
    TLibraryCall Step = TLibraryCall::Load;
    std::optional<uint32_t> CrashCode;
    bool CrashPolling = false;  // the crash was inside DFU_Get_ProcessCount
    std::optional<uint32_t> ThreadExit;
    std::optional<TDownloadOutcome> Outcome;
    std::optional<uint32_t> ExitCode;  // the host has ended
    // Readings not taken yet: only those begun after the unit's
    // DFU_Reset_To_ISP returned, since until then the library still holds
    // the previous unit's last percentage.
    std::vector<uint32_t> Readings;
    bool IspReturned = false;
    bool ReadingFresh = false;

    // Applies the whole reports at the front of bytes and removes them.
    void Take(std::string& bytes);
    // A new unit: what the last one left is forgotten.
    void NextUnit();
};

// The ending of a host that failed to load, died, or whose call's thread
// ended, with the details its line takes; none while it is sound.
struct THostEnding {
    TEnding Ending;
    std::string First;
    std::string Second;
};
std::optional<THostEnding> HostEnding(const THostState& state);

// What fwimage's watch of a unit sees besides its host, once per look.
struct TUnitSignals {
    bool Closed = false;  // the console closed or the session ended
    int Presses = 0;      // Ctrl+C while the library works
    bool Overdue = false;  // --timeout has passed
};
inline constexpr int kAbandoningPresses = 3;

// The ending a unit's watch stops at, with the host's details in detail;
// none while it goes on. A close is a close even when the host has died
// too: a closing console may end the processes attached to it.
std::optional<TEnding> UnitStop(const THostState& state, const TUnitSignals& signals, THostEnding& detail);

// Told after an ending's line when the library's process has not yet ended
// once it was told to.
inline constexpr std::string_view kLibraryMayRunTail = "; процесс библиотеки может ещё работать";

// Windows: the host mode's main, args as main has them.
int RunLibraryHost(int argc, char** argv);

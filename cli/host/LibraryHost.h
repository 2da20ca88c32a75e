// The library's process: fwimage.exe started again in its host mode loads
// DFU.dll, runs a unit's steps when told and reports each call over a pipe,
// while fwimage watches it from outside. Anything the library does, its
// process's death included, is then an ending fwimage tells and records. The
// reports and what fwimage makes of them are portable; the processes are
// Windows (LibraryHost_win32.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/Download.h"
#include "download/DownloadEndings.h"

// The host mode's first argument; the rest are the handles and the image's
// size and sum, which only fwimage itself passes.
inline constexpr char kLibraryHostSwitch[] = "--library-host";

enum class THostCall : uint32_t { Load, ResetToISP, Download, ResetToAP, ProcessCount };

// One report, written whole by one write, so that reports from the host's
// threads never interleave.
struct THostReport {
    enum TKind : uint32_t {
        Entered,      // Call began
        Returned,     // Call returned Value
        Loaded,       // DFU.dll is loaded and bound; Value 1 when it is the simulated one
        LoadFailed,   // Value bytes of the failure's text follow
        Crashed,      // the host's own filter caught exception Value (Call: ProcessCount when
                      // on the thread that polls); the host ends
        ThreadEnded,  // Call's thread ended without a result, with exit code Value
        Finished,     // the unit's outcome: Value is a TDownloadOutcome
    };
    uint32_t Kind;
    THostCall Call;
    uint32_t Value;
};

// What fwimage knows of its host.
struct THostState {
    bool Loaded = false;
    bool Simulated = false;
    std::optional<std::string> LoadFailure;
    // The step a death is put down to: the one entered last, else the next.
    THostCall Step = THostCall::Load;
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

// The library's name of a call.
std::string_view CallName(THostCall call);

// Windows: the host mode's main, args as main has them.
int RunLibraryHost(int argc, char** argv);

// Windows: the image where a host reads it, a section of the page file filled
// a piece at a time, so that fwimage never holds the image twice.
class TImageSection {
public:
    // Raises rt::EOSError.
    explicit TImageSection(const TImageInfo& info);
    ~TImageSection();
    TImageSection(const TImageSection&) = delete;
    TImageSection& operator=(const TImageSection&) = delete;

    void* Handle() const { return handle_; }
    int64_t Size() const { return size_; }
    uint16_t Sum() const { return sum_; }

private:
    void* handle_;
    int64_t size_;
    uint16_t sum_;
};

// Windows: fwimage's side of one host process, which it never outlives: a
// job ends it with fwimage, and the destructor ends it anyway.
class TLibraryHost {
public:
    struct TReader;

    // Starts the host, which loads DFU.dll at once. Raises rt::EOSError.
    explicit TLibraryHost(const TImageSection& image);
    ~TLibraryHost();
    TLibraryHost(const TLibraryHost&) = delete;
    TLibraryHost& operator=(const TLibraryHost&) = delete;

    // Up to ms for news from the host or for wake (a HANDLE); applies them.
    // A host that has ended has said all it wrote first.
    void Wait(void* wake, unsigned ms);
    // Runs one unit's steps.
    void Go();
    const THostState& State() const { return state_; }
    THostState& State() { return state_; }
    // The library's own output so far, whole lines in UTF-8 (the last one
    // too once the host has ended).
    std::vector<std::string> TakeLines();

private:
    void Drain();
    // Ends the host and what it started, and waits for it.
    void End();

    void* process_ = nullptr;
    void* job_ = nullptr;
    void* commands_ = nullptr;
    void* news_ = nullptr;
    std::shared_ptr<TReader> reports_;
    std::shared_ptr<TReader> output_;
    std::string reportBytes_;
    std::string outputBytes_;
    THostState state_;
};

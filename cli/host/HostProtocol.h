// What fwimage and its library's process say to each other, encoded and
// decoded here for both sides and for the tests: the host's reports, one
// byte-string each, written whole by one write so that reports from its
// threads never interleave; fwimage's commands; and the host mode's command
// line. Portable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/Download.h"

struct THostReport {
    enum TKind : uint32_t {
        Entered,      // Call began
        Returned,     // Call returned Value
        Loaded,       // DFU.dll is loaded and bound; Value 1 when it is the simulated one
        LoadFailed,   // DFU.dll did not load; Text says why
        Crashed,      // the host's filter caught exception Value (Call: ProcessCount when on
                      // the thread that polls, else None); the host ends
        ThreadEnded,  // the transfer's thread ended without a result, with exit code Value
        Finished,     // the unit's outcome: Value is a TDownloadOutcome
        KindCount
    };
    TKind Kind = Entered;
    TLibraryCall Call = TLibraryCall::None;
    uint32_t Value = 0;
    std::string Text;
};

// Kind, call, value and the text's length, each 32 bits little-endian.
inline constexpr size_t kReportHeadSize = 16;
// A text longer than this is cut: a report is never waited for without end.
inline constexpr uint32_t kReportTextLimit = 64 * 1024;

// A report without text, made without the heap (a crash filter's).
std::array<char, kReportHeadSize> EncodeReportHead(THostReport::TKind kind, TLibraryCall call,
                                                   uint32_t value) noexcept;
std::string EncodeReport(const THostReport& report);
// The whole report at the front of bytes, and how many bytes it took; 0
// while it has not all come.
size_t DecodeReport(std::string_view bytes, THostReport& report);

// fwimage's commands, one byte each; the pipe's end is the last word.
enum class THostCommand : uint8_t { Go = 'G' };
char EncodeCommand(THostCommand command) noexcept;
std::optional<THostCommand> DecodeCommand(char byte) noexcept;

// The host mode's first argument; the rest only fwimage itself passes.
inline constexpr char kLibraryHostSwitch[] = "--library-host";

// What the host is started with: its pipes' and the image section's handle
// values, as inherited, and the image's size and sum.
struct THostLaunch {
    uint64_t Commands = 0;
    uint64_t Reports = 0;
    uint64_t Section = 0;
    int64_t Size = 0;
    uint16_t Sum = 0;
};
// " --library-host 12 16 20 5242880 1234": to follow the program's path.
std::string HostArguments(const THostLaunch& launch);
// From the host's arguments (the switch and what follows); none when they
// are not what HostArguments makes.
std::optional<THostLaunch> ParseHostArguments(const std::vector<std::string_view>& args);

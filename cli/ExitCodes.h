// Exit codes of fwimage, one set for every command. A download's outcome has
// codes of its own besides the three every command uses.
#pragma once

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitLoaderRefused = 3;
inline constexpr int kExitTransferFailed = 4;
inline constexpr int kExitReturnFailed = 5;
// Ended by the console: Ctrl+C before the library is called, or the console
// closed while the library works (the record of the download says which).
inline constexpr int kExitInterrupted = 130;

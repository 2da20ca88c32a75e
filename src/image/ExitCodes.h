// Exit codes of fwimage, one set for every command. A download's endings have
// codes of their own besides the three every command uses (DownloadEndings.h
// says which ending gives which).
#pragma once

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitLoaderRefused = 3;
inline constexpr int kExitTransferFailed = 4;
inline constexpr int kExitReturnFailed = 5;
// The download's record could not be written to the log, whatever its outcome.
inline constexpr int kExitRecordLost = 6;
// check: the file loads as it is, but has findings.
inline constexpr int kExitFindings = 7;
// Not the image --expect-sha256 or --expect-sum names: no library call.
inline constexpr int kExitWrongImage = 8;
// fwimage ended while the library still worked: --timeout or Ctrl+C thrice.
inline constexpr int kExitLibraryLeft = 9;
// Another program was loading an instrument on this computer: no library call.
inline constexpr int kExitBusy = 10;
// Ended by the console: Ctrl+C before the library is called, or the console
// closed while the library works (the record of the download says which).
inline constexpr int kExitInterrupted = 130;

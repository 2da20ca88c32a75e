// The window's face of a download, without <windows.h>: the worker's
// conversation with the operator around the session's transfer, and what the
// status pane shows. Its boxes' texts are the endings table's.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/Download.h"
#include "download/DownloadEndings.h"
#include "download/DownloadMutex.h"

// Shown after the outcome's box when its record could not be written, and at
// start when the log cannot be written: the failure's text, which names the
// file, follows the first line.
inline constexpr TBoxText kRecordLostBox{"Ошибка записи в журнал загрузок", "Предупреждение",
                                         kBoxOk | kBoxIconWarning};
std::string RecordLostText(std::string_view failure);

// The window's command line: "--log FILE" (or "--log=FILE") anywhere, and
// the image to open, the first other argument. A "--log" without its file
// gives an empty name, whose log cannot be written: the box says so. In the
// log's name %NAME% stands for the environment variable NAME (a per-machine
// shortcut names the user's documents as %USERPROFILE%\Documents); an
// unknown name stays as written. "--help", "-h", "/?" and "-?" ask for the
// usage; any other argument that starts with "--" is an unknown option.
struct TWindowArgs {
    std::optional<std::string> LogFile;
    std::optional<std::string> Image;
    bool Help = false;
    std::optional<std::string> Unknown;  // the first unknown option
};
// The value of an environment variable, none when it is not set.
using TEnvLookup = std::function<std::optional<std::string>(const std::string& name)>;
TWindowArgs WindowArgs(const std::vector<std::string>& args, const TEnvLookup& env);

// text with every %NAME% whose variable is set replaced by its value.
std::string ExpandEnvNames(std::string_view text, const TEnvLookup& env);

// The usage box: the forms of the window's command line, after a line naming
// the unknown option when there is one. Exit codes: 0 after the usage asked
// for, 2 after an unknown option.
std::string WindowUsageText(const TWindowArgs& args);
inline constexpr int kUsageExitCode = 2;

// The status pane during a download: image list indices (its captions: DownloadEndings.h).
inline constexpr int kSearchingIcon = 3;
inline constexpr int kLoadingIcon = 0;
inline constexpr int kNoIcon = -1;

// What the window's worker needs of the system besides the device. Every call
// may come from the worker's thread while the window's thread watches.
struct TDownloadPlatform {
    // An ownerless message box; returns the answer code (0 when it could not be shown).
    virtual int ShowBox(std::string_view text, std::string_view caption, unsigned style) = 0;
    // The application-wide cursor: hourglass (true) or default (false).
    virtual void SetHourglass(bool on) = 0;
    // At Yes, before the transfer: where the transfer puts the image it sends
    // (there before its first library call), and the answer's moment.
    virtual void Confirmed(const TImageInfo& /*sent*/, std::chrono::steady_clock::time_point /*yes*/) {}
    // The record of a download's ending, when the window keeps a log: the
    // image as sent (at No, as it stood), seconds from Yes to the ending. The
    // failure's text when it could not be written; none when written.
    virtual std::optional<std::string> Record(TDownloadOutcome /*outcome*/, const TImageInfo& /*image*/,
                                              uint64_t /*seconds*/) {
        return std::nullopt;
    }
    // The computer's one-download lock (DownloadMutex.h), tried once after
    // Yes and before the first library call; let go, when it was taken, as
    // soon as the last call has returned, before any box.
    virtual TDownloadLock TakeDownloadLock() = 0;
    virtual void ReleaseDownloadLock() = 0;
    virtual ~TDownloadPlatform() = default;
};

// The box of a download that found the lock held; a failure to try it follows its text.
std::string BusyBoxText(const TDownloadLock& lock);

// The window's download, the body of the worker thread; returns the thread's
// exit code, 1. Asks for confirmation; on Yes turns the hourglass on, takes the
// one-download lock (held elsewhere: no library call, the busy box), runs the
// session's Transfer, lets the lock go and shows its outcome's box; then the default cursor,
// and the session's Finish last. Every ending, No included, is given to the
// platform's Record before its box; the box of a record that could not be
// written follows the outcome's.
//
// Nothing is thrown. An exception from the confirmation counts as No; from
// the hourglass, as a refused loader mode (its box, no library call); from
// taking the lock, as a lock held; from letting it go, nothing. An
// exception from an outcome box or from taking the hourglass off is ignored.
uint32_t RunDownloadWorker(TDownloadPlatform& platform, TDevice& device, const TImageInfo& windowInfo,
                           TDownloadSession& session) noexcept;

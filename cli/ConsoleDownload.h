// The console's face of a download, without the platform: how progress is
// written, what counts as a yes, how each outcome is told and logged.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "WindowDownload.h"
#include "ExitCodes.h"

// How the console tells an outcome: its line (the window's box text, or the
// tool's own where the window has none), where it goes, the exit code and
// the log's name.
struct TOutcomeReport {
    std::string_view Line;
    bool ToError;
    int ExitCode;
    std::string_view LogName;
};

TOutcomeReport ReportOf(TDownloadOutcome outcome) noexcept;

// " Загрузить программу ? " as the window asks it, then the choice.
inline constexpr std::string_view kConsoleQuestionSuffix = " [y/N] ";

// "y", "yes", "д", "да" in any letter case, blanks around allowed.
bool IsYesAnswer(std::string_view utf8);

// One record of the download log: UTC time, full path, size and sum as the
// summary shows them, outcome, exit code; tab-separated, ending in "\n".
std::string DownloadLogLine(std::string_view utcTime, std::string_view fullPath, const TImageInfo& info,
                            std::string_view outcome, int exitCode);

// The session's events on a console or into a file. On a console
// (console == true) one line is redrawn in place with a carriage return, at
// most every kRedrawInterval; otherwise a line is written at each change
// between searching and loading and at each 10 % step. Update() is called
// after each reading (from OnWait), Break() before another line is written in
// between, Finish() after the loop (on a console it leaves the cursor on a
// fresh line).
class TConsoleProgress final : public TDownloadEvents {
public:
    static constexpr std::chrono::milliseconds kRedrawInterval{50};

    TConsoleProgress(std::ostream& out, bool console) : out_(out), console_(console) {}

    // The host's waiting between two readings; false stops watching.
    std::function<bool()> OnWait;

    void Searching() override { caption_ = kSearchingCaption; }
    void Loading(uint16_t percent) override {
        percent_ = percent;
        caption_ = kLoadingCaption;
    }
    bool Wait() override { return !OnWait || OnWait(); }
    void TransferOver() override { caption_.clear(); }

    void Update(std::chrono::steady_clock::duration now);
    void Break();
    void Finish();

private:
    enum class TMode { Idle, Searching, Loading };
    TMode Mode() const;
    std::string Line() const;
    void Draw(const std::string& line);

    std::ostream& out_;
    bool console_;
    uint16_t percent_ = 0;
    std::string caption_;
    // What was written last: the line on a console, the mode and step otherwise.
    std::string drawn_;
    // The line of the last reading, drawn or not yet.
    std::string latest_;
    bool onLine_ = false;
    std::chrono::steady_clock::duration lastDraw_{};
    bool everDrawn_ = false;
    TMode writtenMode_ = TMode::Idle;
    int writtenStep_ = -1;
};

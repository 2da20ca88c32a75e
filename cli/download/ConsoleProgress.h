// A download's progress on a console or into a file. On a console one line is
// redrawn in place with a carriage return, at most every kRedrawInterval;
// into a file a line is written at each change between searching and loading
// and at each 10 % step; as JSON Lines events by the same rule.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

enum class TProgressForm { Console, File, Json };

class TConsoleProgress {
public:
    static constexpr std::chrono::milliseconds kRedrawInterval{50};
    using TClock = std::chrono::steady_clock::duration;

    TConsoleProgress(std::ostream& out, TProgressForm form)
        : out_(out), console_(form == TProgressForm::Console), json_(form == TProgressForm::Json) {}
    TConsoleProgress(std::ostream& out, bool console)
        : TConsoleProgress(out, console ? TProgressForm::Console : TProgressForm::File) {}

    // A reading: the library searches, or loads at percent. A percent above
    // 100 is no percentage: it is not shown and counts toward no step.
    void Searching(TClock now);
    void Loading(uint32_t percent, TClock now);
    // Between readings: a line held back by the redraw interval is drawn once due.
    void Tick(TClock now);
    // Before another line is written in between: leaves the cursor on a fresh line.
    void Break();
    // The transfer is over; delivered shows the finished state, 100 %, else
    // the last reading stays. The cursor is left on a fresh line.
    void Finish(bool delivered);

private:
    enum class TMode { Idle, Searching, Loading };
    void Show(TMode mode, uint16_t percent, TClock now, bool forced);
    std::string Line() const;
    void Draw(const std::string& line);

    std::ostream& out_;
    bool console_;
    bool json_;
    TMode mode_ = TMode::Idle;
    uint16_t percent_ = 0;
    // What was written last: the line on a console, the mode and step otherwise.
    std::string drawn_;
    bool onLine_ = false;
    TClock lastDraw_{};
    bool everDrawn_ = false;
    TMode writtenMode_ = TMode::Idle;
    int writtenStep_ = -1;
};

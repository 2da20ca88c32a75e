#include "download/ConsoleProgress.h"

#include <algorithm>

#include "download/DownloadJson.h"
#include "download/DownloadEndings.h"

namespace {

// Columns on the console: characters, not bytes.
size_t Columns(std::string_view utf8) {
    return static_cast<size_t>(std::count_if(
        utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

std::string TConsoleProgress::Line() const {
    if (mode_ == TMode::Searching) return std::string(kSearchingCaption);
    constexpr int kCells = 20;
    const int filled = std::min<int>(percent_, 100) * kCells / 100;
    return std::string(kLoadingCaption) + " [" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kCells - filled), '.') + "] " + std::to_string(percent_) + "%";
}

void TConsoleProgress::Draw(const std::string& line) {
    // Blanks wipe what a longer line before left on the console.
    const size_t shown = Columns(drawn_), now = Columns(line);
    out_ << '\r' << line;
    if (now < shown) out_ << std::string(shown - now, ' ') << '\r' << line;
    out_.flush();
    drawn_ = line;
    onLine_ = true;
}

void TConsoleProgress::Show(TMode mode, uint16_t percent, TClock now, bool forced) {
    mode_ = mode;
    percent_ = percent;
    if (!console_) {
        const int step = mode == TMode::Loading ? percent / 10 : -1;
        if (mode == writtenMode_ && step == writtenStep_) return;
        writtenMode_ = mode;
        writtenStep_ = step;
        if (!json_) {
            out_ << Line() << '\n';
            out_.flush();
        } else if (mode == TMode::Searching) {
            TellSearching(out_);
        } else {
            TellLoading(out_, percent);
        }
        return;
    }
    Tick(forced ? lastDraw_ + kRedrawInterval : now);
}

void TConsoleProgress::Searching(TClock now) {
    Show(TMode::Searching, percent_, now, false);
}

void TConsoleProgress::Loading(uint32_t percent, TClock now) {
    if (percent > 100) return;
    Show(TMode::Loading, static_cast<uint16_t>(percent), now, false);
}

void TConsoleProgress::Tick(TClock now) {
    if (!console_ || mode_ == TMode::Idle) return;
    const std::string line = Line();
    if (onLine_ && line == drawn_) return;
    if (everDrawn_ && now - lastDraw_ < kRedrawInterval) return;
    Draw(line);
    lastDraw_ = now;
    everDrawn_ = true;
}

void TConsoleProgress::Break() {
    if (!console_ || !onLine_) return;
    out_ << '\n';
    out_.flush();
    onLine_ = false;
    drawn_.clear();
}

void TConsoleProgress::Finish(bool delivered) {
    if (delivered) {
        Show(TMode::Loading, 100, lastDraw_, true);
    } else if (mode_ != TMode::Idle) {
        // The last reading may have come within the redraw interval.
        Tick(lastDraw_ + kRedrawInterval);
    }
    Break();
}

#include "ConsoleDownload.h"

#include <algorithm>
#include <array>

#include "runtime/Convert.h"

TOutcomeReport ReportOf(TDownloadOutcome outcome) noexcept {
    const auto box = [&] { return OutcomeBox(outcome)->Text; };
    switch (outcome) {
    case TDownloadOutcome::Declined:
        return {"Not confirmed: nothing was sent to the instrument", true, kExitUsage, "declined"};
    case TDownloadOutcome::LoaderRefused:
        return {box(), true, kExitLoaderRefused, "loader-refused"};
    case TDownloadOutcome::TransferFailed:
        return {box(), true, kExitTransferFailed, "transfer-failed"};
    case TDownloadOutcome::ReturnFailed:
        return {box(), true, kExitReturnFailed, "return-failed"};
    case TDownloadOutcome::Done:
        return {box(), false, kExitDone, "done"};
    }
    return {"", true, kExitFailed, "unknown"};
}

bool IsYesAnswer(std::string_view utf8) {
    const size_t first = utf8.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return false;
    const std::string_view word = utf8.substr(first, utf8.find_last_not_of(" \t\r\n") - first + 1);
    std::string lower;
    for (size_t i = 0; i < word.size(); ++i) {
        const char c = word[i];
        if (c >= 'A' && c <= 'Z') {
            lower += static_cast<char>(c - 'A' + 'a');
        } else if (word.substr(i, 2) == "Д") {  // the capitals of д and а
            lower += "д";
            ++i;
        } else if (word.substr(i, 2) == "А") {
            lower += "а";
            ++i;
        } else {
            lower += c;
        }
    }
    constexpr std::array<std::string_view, 4> kYes = {"y", "yes", "д", "да"};
    return std::find(kYes.begin(), kYes.end(), lower) != kYes.end();
}

std::string DownloadLogLine(std::string_view utcTime, std::string_view fullPath, const TImageInfo& info,
                            std::string_view outcome, int exitCode) {
    std::string line;
    for (std::string_view field : {utcTime, fullPath}) line.append(field).append("\t");
    line += rt::IntToHex(static_cast<uint64_t>(info.Size), 4) + "\t" + rt::IntToHex(info.Sum, 4) + "\t";
    line.append(outcome).append("\t").append(std::to_string(exitCode)).append("\n");
    return line;
}

TConsoleProgress::TMode TConsoleProgress::Mode() const {
    if (caption_ == kSearchingCaption) return TMode::Searching;
    if (caption_ == kLoadingCaption) return TMode::Loading;
    return TMode::Idle;
}

std::string TConsoleProgress::Line() const {
    if (Mode() != TMode::Loading) return caption_;
    constexpr int kCells = 20;
    const int filled = std::min<int>(percent_, 100) * kCells / 100;
    return caption_ + " [" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kCells - filled), '.') + "] " + std::to_string(percent_) + "%";
}

namespace {

// Columns on the console: characters, not bytes.
size_t Columns(std::string_view utf8) {
    return static_cast<size_t>(std::count_if(
        utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

void TConsoleProgress::Draw(const std::string& line) {
    // Blanks wipe what a longer line before left on the console.
    const size_t shown = Columns(drawn_), now = Columns(line);
    out_ << '\r' << line;
    if (now < shown) out_ << std::string(shown - now, ' ') << '\r' << line;
    out_.flush();
    drawn_ = line;
    onLine_ = true;
}

void TConsoleProgress::Update(std::chrono::steady_clock::duration now) {
    const TMode mode = Mode();
    if (mode == TMode::Idle) return;
    if (!console_) {
        const int step = mode == TMode::Loading ? percent_ / 10 : -1;
        if (mode == writtenMode_ && step == writtenStep_) return;
        writtenMode_ = mode;
        writtenStep_ = step;
        out_ << Line() << '\n';
        out_.flush();
        return;
    }
    latest_ = Line();
    if (onLine_ && latest_ == drawn_) return;
    if (everDrawn_ && now - lastDraw_ < kRedrawInterval) return;
    Draw(latest_);
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

void TConsoleProgress::Finish() {
    if (!console_ || latest_.empty()) return;
    // The last reading may have come within the redraw interval.
    if (!onLine_ || latest_ != drawn_) Draw(latest_);
    Break();
}

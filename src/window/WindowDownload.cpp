#include "window/WindowDownload.h"

#include <chrono>

#include "download/DownloadRecord.h"
#include "runtime/Display.h"

namespace {

using TClock = std::chrono::steady_clock;

// Records the ending; its failure's box comes after the outcome's, if any.
std::optional<std::string> Record(TDownloadPlatform& platform, TDownloadOutcome outcome,
                                  const TImageInfo& image, TClock::time_point since) noexcept {
    const uint64_t seconds = outcome == TDownloadOutcome::Declined ? 0 : WholeSeconds(TClock::now() - since);
    try {
        return platform.Record(outcome, image, seconds);
    } catch (...) {
        // Not written: the box says so, with the reason when there is memory for it.
        return OrOnThrow(
            [] {
                return std::optional(rt::FailureDisplayText(rt::FailureMessage(std::current_exception())));
            },
            std::optional<std::string>(std::in_place));
    }
}

void ShowLostRecord(TDownloadPlatform& platform, const std::optional<std::string>& failure) noexcept {
    if (!failure) return;
    const TBoxText& box = kRecordLostBox;
    OrOnThrow([&] { return platform.ShowBox(RecordLostText(*failure), box.Caption, box.Style); }, 0);
}

// The worker's conversation up to its outcome, which it has shown.
TDownloadOutcome Converse(TDownloadPlatform& platform, TDevice& device, const TImageInfo& windowInfo,
                          TDownloadSession& session) noexcept {
    const TBoxText& ask = kConfirmDownloadBox;
    const int answer = OrOnThrow([&] { return platform.ShowBox(ask.Text, ask.Caption, ask.Style); }, 0);
    if (answer != kAnswerYes) {
        const TImageInfo asItStood = OrOnThrow([&] { return SnapshotImageInfo(windowInfo); }, TImageInfo{});
        ShowLostRecord(platform, Record(platform, TDownloadOutcome::Declined, asItStood, {}));
        return TDownloadOutcome::Declined;
    }
    const TClock::time_point yes = TClock::now();
    // Without the hourglass something is wrong with the system: the
    // instrument is left alone.
    const bool hourglass = OrOnThrow(
        [&] {
            platform.SetHourglass(true);
            return true;
        },
        false);
    TImageInfo sent;
    OrOnThrow(
        [&] {
            platform.Confirmed(sent, yes);
            return true;
        },
        false);
    TDownloadLock lock;
    if (hourglass) lock = OrOnThrow([&] { return platform.TakeDownloadLock(); }, TDownloadLock{});
    TDownloadOutcome outcome = TDownloadOutcome::LoaderRefused;
    if (LockOwned(lock.Take)) {
        outcome = session.Transfer(device, windowInfo, &sent);
        OrOnThrow(
            [&] {
                platform.ReleaseDownloadLock();
                return true;
            },
            false);
    } else if (hourglass) {
        outcome = TDownloadOutcome::Busy;
        sent = OrOnThrow([&] { return SnapshotImageInfo(windowInfo); }, TImageInfo{});
    }
    const std::optional<std::string> lost = Record(platform, outcome, sent, yes);
    const TBoxText* box = OutcomeBox(outcome);
    std::string busyText;
    if (outcome == TDownloadOutcome::Busy) busyText = OrOnThrow([&] { return BusyBoxText(lock); }, std::string());
    const std::string_view text = busyText.empty() ? box->Text : std::string_view(busyText);
    OrOnThrow([&] { return platform.ShowBox(text, box->Caption, box->Style); }, 0);
    // Also after a failed attempt to put it on: the default cursor is harmless.
    OrOnThrow(
        [&] {
            platform.SetHourglass(false);
            return true;
        },
        false);
    // The download is over for the operator before the log is told of.
    ShowLostRecord(platform, lost);
    return outcome;
}

}  // namespace

std::string BusyBoxText(const TDownloadLock& lock) {
    std::string text(kBusyBox.Text);
    if (lock.Take == TDownloadLockTake::Failed && !lock.Failure.empty()) text.append("\n").append(lock.Failure);
    return text;
}

std::string RecordLostText(std::string_view failure) {
    return std::string(kRecordLostBox.Text).append("\n").append(failure);
}

TWindowArgs WindowArgs(const std::vector<std::string>& args) {
    constexpr std::string_view kLog = "--log", kLogIs = "--log=";
    TWindowArgs found;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == kLog) {
            found.LogFile = i + 1 < args.size() ? args[++i] : std::string();
        } else if (arg.compare(0, kLogIs.size(), kLogIs) == 0) {
            found.LogFile = arg.substr(kLogIs.size());
        } else if (!found.Image) {
            found.Image = arg;
        }
    }
    return found;
}

uint32_t RunDownloadWorker(TDownloadPlatform& platform, TDevice& device, const TImageInfo& windowInfo,
                           TDownloadSession& session) noexcept {
    session.Finish(Converse(platform, device, windowInfo, session));
    return 1;
}

#include "Download.h"

#include <optional>

namespace {

// f()'s result, or failed when f throws: the worker reports, it never throws.
template <class F, class R>
R OrOnThrow(F&& f, R failed) noexcept {
    try {
        return f();
    } catch (...) {
        return failed;
    }
}

void ShowOutcome(TDownloadPlatform& platform, const TBoxText& box) noexcept {
    OrOnThrow([&] { return platform.ShowBox(box.Text, box.Caption, box.Style); }, 0);
}

// Steps 3 to 7 after the hourglass: the box that tells how the download went.
const TBoxText& Transfer(TDownloadPlatform& platform, const TImageInfo& windowInfo,
                         std::atomic<bool>& downloadBusy) noexcept {
    // The copy keeps the image's bytes alive until it goes, after the transfer.
    std::optional<TImageInfo> image;
    try {
        image.emplace(SnapshotImageInfo(windowInfo));
    } catch (...) {
        return kEnterLoaderFailedBox;
    }

    if (OrOnThrow([&] { return platform.ResetToISP(kIspArg1, kIspArg2); }, 0u) == 0)
        return kEnterLoaderFailedBox;

    const uint32_t sent = OrOnThrow(
        [&] {
            return platform.Download(image->Data, 0, static_cast<uint32_t>(image->Size),
                                     static_cast<uint32_t>(image->Sum));
        },
        0u);
    downloadBusy.store(false);
    if (sent == 0) return kDownloadFailedBox;

    if (OrOnThrow([&] { return platform.ResetToAP(); }, 0u) == 0) return kLeaveLoaderFailedBox;
    return kDownloadDoneBox;
}

}  // namespace

uint32_t RunDownloadWorker(TDownloadPlatform& platform, const TImageInfo& windowInfo,
                           std::atomic<bool>& downloadBusy) noexcept {
    const TBoxText& ask = kConfirmDownloadBox;
    const int answer = OrOnThrow([&] { return platform.ShowBox(ask.Text, ask.Caption, ask.Style); }, 0);
    if (answer == kAnswerYes) {
        // Without the hourglass something is wrong with the system: the
        // instrument is left alone.
        const bool hourglass = OrOnThrow(
            [&] {
                platform.SetHourglass(true);
                return true;
            },
            false);
        ShowOutcome(platform,
                    hourglass ? Transfer(platform, windowInfo, downloadBusy) : kEnterLoaderFailedBox);
        // Also after a failed attempt to put it on: the default cursor is harmless.
        OrOnThrow(
            [&] {
                platform.SetHourglass(false);
                return true;
            },
            false);
    }
    downloadBusy.store(false);
    return 1;
}

bool TWorkerGate::TryBegin() {
    std::lock_guard<std::mutex> guard(lock_);
    if (running_) return false;
    running_ = true;
    return true;
}

void TWorkerGate::End() noexcept {
    // Notified under the lock: a waiter cannot return, and shutdown go on,
    // while this call still touches the gate.
    std::lock_guard<std::mutex> guard(lock_);
    running_ = false;
    idle_.notify_all();
}

bool TWorkerGate::Running() const {
    std::lock_guard<std::mutex> guard(lock_);
    return running_;
}

void TWorkerGate::WaitIdle() {
    std::unique_lock<std::mutex> guard(lock_);
    idle_.wait(guard, [this] { return !running_; });
}

bool TWorkerGate::WaitIdleFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    return idle_.wait_for(guard, limit, [this] { return !running_; });
}

TPollAction DecidePoll(uint32_t reading, uint16_t currentPercent) noexcept {
    if (reading == kSearchingReading) return {TPollKind::Searching, 0, kSearchingCaption, kSearchingIcon};
    if (reading == static_cast<uint32_t>(currentPercent)) return {};
    return {TPollKind::Loading, static_cast<uint16_t>(reading), kLoadingCaption, kLoadingIcon};
}

void RunPollingLoop(const std::atomic<bool>& downloadBusy, TProgressView& view,
                    const std::function<uint32_t()>& read, const std::function<void()>& pumpMessages) {
    while (downloadBusy.load()) {
        const TPollAction action = DecidePoll(read(), view.Percent());
        switch (action.Kind) {
        case TPollKind::Searching:
            view.SetIconIndex(action.IconIndex);
            view.SetCaption(action.Caption);
            view.ShowPane(true);
            break;
        case TPollKind::Loading:
            view.SetPercent(action.Percent);
            view.SetCaption(action.Caption);
            view.SetIconIndex(action.IconIndex);
            view.ShowBar(true);
            break;
        case TPollKind::Nothing:
            break;
        }
        pumpMessages();
    }
    view.ShowBar(false);
    view.SetCaption({});
    view.SetIconIndex(kNoIcon);
    view.ShowPane(false);
}

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

}  // namespace

const TBoxText* OutcomeBox(TDownloadOutcome outcome) noexcept {
    switch (outcome) {
    case TDownloadOutcome::Declined:
        return nullptr;
    case TDownloadOutcome::LoaderRefused:
        return &kEnterLoaderFailedBox;
    case TDownloadOutcome::TransferFailed:
        return &kDownloadFailedBox;
    case TDownloadOutcome::ReturnFailed:
        return &kLeaveLoaderFailedBox;
    case TDownloadOutcome::Done:
        return &kDownloadDoneBox;
    }
    return nullptr;
}

TDownloadOutcome Transfer(TDevice& device, const TImageInfo& windowInfo,
                          std::atomic<bool>& downloadBusy) noexcept {
    // The copy keeps the image's bytes alive until it goes, after the transfer.
    std::optional<TImageInfo> image;
    try {
        image.emplace(SnapshotImageInfo(windowInfo));
    } catch (...) {
        return TDownloadOutcome::LoaderRefused;
    }

    if (OrOnThrow([&] { return device.ResetToISP(kIspArg1, kIspArg2); }, 0u) == 0)
        return TDownloadOutcome::LoaderRefused;

    const uint32_t sent = OrOnThrow(
        [&] {
            return device.Download(image->Data, 0, static_cast<uint32_t>(image->Size),
                                   static_cast<uint32_t>(image->Sum));
        },
        0u);
    downloadBusy.store(false);
    if (sent == 0) return TDownloadOutcome::TransferFailed;

    if (OrOnThrow([&] { return device.ResetToAP(); }, 0u) == 0) return TDownloadOutcome::ReturnFailed;
    return TDownloadOutcome::Done;
}

uint32_t RunDownloadWorker(TDownloadPlatform& platform, TDevice& device, const TImageInfo& windowInfo,
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
        const TBoxText* box = OutcomeBox(hourglass ? Transfer(device, windowInfo, downloadBusy)
                                                   : TDownloadOutcome::LoaderRefused);
        if (box != nullptr)
            OrOnThrow([&] { return platform.ShowBox(box->Text, box->Caption, box->Style); }, 0);
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

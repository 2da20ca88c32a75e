#include "download/Download.h"

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

bool TDownloadSession::Start(const std::function<void()>& startThread) {
    if (!gate_.TryBegin()) return false;
    busy_.store(true);
    try {
        startThread();
    } catch (...) {
        gate_.End();
        throw;
    }
    return true;
}

template <class F>
uint32_t TDownloadSession::Call(TLibraryCall step, F&& call) noexcept {
    step_.store(step);
    const uint32_t result = OrOnThrow(call, 0u);
    step_.store(TLibraryCall::None);
    return result;
}

TDownloadOutcome TDownloadSession::Transfer(TDevice& device, const TImageInfo& windowInfo,
                                            TImageInfo* snapshot) noexcept {
    // The copy keeps the image's bytes alive until it goes, after the transfer;
    // the caller's, when it asks for one, outlives it.
    TImageInfo own;
    TImageInfo& image = snapshot ? *snapshot : own;
    try {
        image = SnapshotImageInfo(windowInfo);
    } catch (...) {
        return TDownloadOutcome::LoaderRefused;
    }

    if (Call(TLibraryCall::ResetToISP, [&] { return device.ResetToISP(kIspArg1, kIspArg2); }) == 0)
        return TDownloadOutcome::LoaderRefused;

    const uint32_t sent = Call(TLibraryCall::Download, [&] {
        return device.Download(image.Data, 0, static_cast<uint32_t>(image.Size),
                               static_cast<uint32_t>(image.Sum));
    });
    busy_.store(false);
    if (sent == 0) return TDownloadOutcome::TransferFailed;

    if (Call(TLibraryCall::ResetToAP, [&] { return device.ResetToAP(); }) == 0)
        return TDownloadOutcome::ReturnFailed;
    return TDownloadOutcome::Done;
}

void TDownloadSession::Finish(TDownloadOutcome outcome) noexcept {
    outcome_ = outcome;
    busy_.store(false);
    gate_.End();
}

bool TDownloadSession::Watch(TDevice& device, TDownloadEvents& events) {
    while (busy_.load()) {
        const uint32_t reading = device.ProcessCount();
        if (reading == kSearchingReading) {
            events.Searching();
        } else if (reading != percent_) {
            percent_ = static_cast<uint16_t>(reading);
            events.Loading(percent_);
        }
        if (!events.Wait()) return false;
    }
    events.TransferOver();
    return true;
}

std::optional<TDownloadOutcome> TDownloadSession::Run(const std::function<void()>& startThread,
                                                      TDevice& device, TDownloadEvents& events) {
    if (!Start(startThread) || !Watch(device, events)) return std::nullopt;
    return WaitEnd(events);
}

std::optional<TDownloadOutcome> TDownloadSession::WaitEnd(TDownloadEvents& events) {
    while (gate_.Running())
        if (!events.Wait()) return std::nullopt;
    return outcome_;
}

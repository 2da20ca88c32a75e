#include "WindowDownload.h"

namespace {

// The worker's conversation up to its outcome, which it has shown.
TDownloadOutcome Converse(TDownloadPlatform& platform, TDevice& device, const TImageInfo& windowInfo,
                          TDownloadSession& session) noexcept {
    const TBoxText& ask = kConfirmDownloadBox;
    const int answer = OrOnThrow([&] { return platform.ShowBox(ask.Text, ask.Caption, ask.Style); }, 0);
    if (answer != kAnswerYes) return TDownloadOutcome::Declined;
    // Without the hourglass something is wrong with the system: the
    // instrument is left alone.
    const bool hourglass = OrOnThrow(
        [&] {
            platform.SetHourglass(true);
            return true;
        },
        false);
    const TDownloadOutcome outcome =
        hourglass ? session.Transfer(device, windowInfo) : TDownloadOutcome::LoaderRefused;
    const TBoxText* box = OutcomeBox(outcome);
    OrOnThrow([&] { return platform.ShowBox(box->Text, box->Caption, box->Style); }, 0);
    // Also after a failed attempt to put it on: the default cursor is harmless.
    OrOnThrow(
        [&] {
            platform.SetHourglass(false);
            return true;
        },
        false);
    return outcome;
}

}  // namespace

uint32_t RunDownloadWorker(TDownloadPlatform& platform, TDevice& device, const TImageInfo& windowInfo,
                           TDownloadSession& session) noexcept {
    session.Finish(Converse(platform, device, windowInfo, session));
    return 1;
}

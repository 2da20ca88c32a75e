// The device download without a window: the transfer's steps over the device
// interface and their outcome, the window's worker around them, the gate that
// keeps to one worker at a time, and the polling loop with its decisions. The
// Win32 layer supplies the device, the platform (message boxes, cursor) and
// the display (the window's progress bar and status pane, or a console line).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>

#include "FirmwareImage.h"
#include "device/Device.h"

// Message box styles and answers, as the platform defines them. Own names,
// so that this header can sit beside <windows.h>.
inline constexpr unsigned kBoxOk = 0x00;
inline constexpr unsigned kBoxYesNo = 0x04;
inline constexpr unsigned kBoxIconWarning = 0x30;
inline constexpr unsigned kBoxIconInformation = 0x40;
inline constexpr int kAnswerYes = 6;

// One of the worker's message boxes (UTF-8 texts).
struct TBoxText {
    std::string_view Text;
    std::string_view Caption;
    unsigned Style;
};

inline constexpr TBoxText kConfirmDownloadBox{" Загрузить программу ? ", " Подтверждение файла",
                                              kBoxYesNo | kBoxIconWarning};
inline constexpr TBoxText kEnterLoaderFailedBox{"Ошибка перехода в режим загрузки  ", "Предупреждение",
                                                kBoxOk | kBoxIconWarning};
inline constexpr TBoxText kDownloadFailedBox{"Ошибка загрузки ", "Предупреждение", kBoxOk | kBoxIconWarning};
inline constexpr TBoxText kLeaveLoaderFailedBox{"Ошибка выхода из режима загрузки  ", "Предупреждение",
                                                kBoxOk | kBoxIconWarning};
inline constexpr TBoxText kDownloadDoneBox{"Загрузка завершена  ", "Поздравление",
                                           kBoxOk | kBoxIconInformation};

// The device library's fixed arguments.
inline constexpr uint32_t kIspArg1 = 3690;
inline constexpr uint32_t kIspArg2 = 791;

// How one download ended, in the order of the steps.
enum class TDownloadOutcome {
    Declined,        // not confirmed: no library call
    LoaderRefused,   // DFU_Reset_To_ISP gave 0
    TransferFailed,  // DFU_Download gave 0
    ReturnFailed,    // DFU_Reset_To_AP gave 0
    Done,
};

// The window's box for each outcome; none for Declined.
const TBoxText* OutcomeBox(TDownloadOutcome outcome) noexcept;

// The confirmed part of a download: takes a snapshot of windowInfo (whose
// Keep holds the bytes until the transfer has returned, so an Open meanwhile
// cannot move or change them), switches to the loader, sends, switches back.
// downloadBusy falls as soon as DFU_Download returns; on the other paths it
// is left to the caller. No step is retried and a failed step skips the later
// ones. Nothing is thrown: an exception from the snapshot or from a call
// counts as that step failing (the snapshot's as a refused loader mode).
TDownloadOutcome Transfer(TDevice& device, const TImageInfo& windowInfo,
                          std::atomic<bool>& downloadBusy) noexcept;

// What the window's worker needs of the system besides the device. Every call
// may come from the worker's thread while the window's thread runs its
// polling loop.
struct TDownloadPlatform {
    // An ownerless message box; returns the answer code (0 when it could not be shown).
    virtual int ShowBox(std::string_view text, std::string_view caption, unsigned style) = 0;
    // The application-wide cursor: hourglass (true) or default (false).
    virtual void SetHourglass(bool on) = 0;
    virtual ~TDownloadPlatform() = default;
};

// The window's download, the body of the worker thread; returns the thread's
// exit code, 1. Asks for confirmation; on Yes turns the hourglass on, runs
// Transfer and shows its outcome's box; then the default cursor.
// downloadBusy falls at the end at the latest.
//
// Nothing is thrown. An exception from the confirmation counts as No; from
// the hourglass, as a refused loader mode (its box, no library call). An
// exception from an outcome box or from taking the hourglass off is ignored.
//
// The thread routine calls gate.End() after this returns.
uint32_t RunDownloadWorker(TDownloadPlatform& platform, TDevice& device, const TImageInfo& windowInfo,
                           std::atomic<bool>& downloadBusy) noexcept;

// Keeps to one worker at a time, from the Start that creates it to the very
// end of its thread, past the moment its display has gone. Lives as long as
// the process.
//
// Start:    if (!gate.TryBegin()) return;  DownloadBusy = true;  create the thread;
//           if the thread was not created: gate.End(), then raise.
// Worker:   RunDownloadWorker(...); gate.End(); return 1.
// Shutdown: wait until the gate is idle before the window's data goes, so the
//           instrument is switched back and the outcome box is seen; the
//           window polls WaitIdleFor(0) meanwhile, handling the messages that
//           the worker's box sends to its thread.
class TWorkerGate {
public:
    // True when no worker was running; the caller now owns the only one.
    bool TryBegin();
    // The worker has ended (or was never created).
    void End() noexcept;
    bool Running() const;
    // Returns once no worker runs.
    void WaitIdle();
    // The same with a time limit; false when a worker still runs then.
    bool WaitIdleFor(std::chrono::milliseconds limit);

private:
    mutable std::mutex lock_;
    std::condition_variable idle_;
    bool running_ = false;
};

// The status pane's and progress bar's settings during a download.
inline constexpr uint32_t kSearchingReading = 255;
inline constexpr std::string_view kSearchingCaption = "Поиск устройства ...";
inline constexpr std::string_view kLoadingCaption = "Загрузка ...";
inline constexpr int kSearchingIcon = 3;
inline constexpr int kLoadingIcon = 0;
inline constexpr int kNoIcon = -1;

enum class TPollKind {
    Nothing,    // the reading equals the shown percentage
    Searching,  // pane: icon, caption, show; the bar is not touched
    Loading,    // bar: percentage; pane: caption, icon; show the bar (the pane's visibility stays)
};

struct TPollAction {
    TPollKind Kind = TPollKind::Nothing;
    uint16_t Percent = 0;      // Loading: the bar's new percentage
    std::string_view Caption;  // Searching, Loading
    int IconIndex = kNoIcon;   // Searching, Loading
};

// What one reading of DFU_Get_ProcessCount does to the display, given the
// bar's current percentage. The whole reading is compared, so 65541 differs
// from 5; the bar then keeps the low 16 bits.
TPollAction DecidePoll(uint32_t reading, uint16_t currentPercent) noexcept;

// The two display elements as the polling loop uses them. Setting a value
// equal to the current one should do nothing.
struct TProgressView {
    virtual uint16_t Percent() const = 0;
    virtual void SetPercent(uint16_t percent) = 0;
    virtual void ShowBar(bool visible) = 0;
    virtual void SetCaption(std::string_view caption) = 0;
    virtual void SetIconIndex(int index) = 0;
    virtual void ShowPane(bool visible) = 0;
    virtual ~TProgressView() = default;
};

// The Start handler's loop: while downloadBusy, read the progress, show it,
// handle the waiting messages; then hide the bar and empty and hide the pane.
// read and pumpMessages are expected not to throw (a failure raised by a
// message's handler is shown where the message is dispatched); if one does,
// the exception leaves the loop with the display as it stands.
void RunPollingLoop(const std::atomic<bool>& downloadBusy, TProgressView& view,
                    const std::function<uint32_t()>& read, const std::function<void()>& pumpMessages);

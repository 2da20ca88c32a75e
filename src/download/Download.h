// One download without a face: the transfer's steps over the device interface
// and their outcome, the busy flag between the transfer and the watcher, the
// gate that keeps to one download at a time, and the watching of the
// library's readings, told as plain events. The window and fwimage each bring
// their own thread, their own events and their own way of telling the outcome.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "image/FirmwareImage.h"
#include "device/Device.h"

// The device library's fixed arguments.
inline constexpr uint32_t kIspArg1 = 3690;
inline constexpr uint32_t kIspArg2 = 791;
// DFU_Get_ProcessCount while the library looks for the instrument.
inline constexpr uint32_t kSearchingReading = 255;

// How one download ended, in the order of the steps.
enum class TDownloadOutcome {
    Declined,        // not confirmed: no library call
    LoaderRefused,   // DFU_Reset_To_ISP gave 0
    TransferFailed,  // DFU_Download gave 0
    ReturnFailed,    // DFU_Reset_To_AP gave 0
    Done,
    Busy,  // another download held the computer's one-download lock: no library call
};

// f()'s result, or failed when f throws: a download's thread reports, it
// never throws.
template <class F, class R>
R OrOnThrow(F&& f, R failed) noexcept {
    try {
        return f();
    } catch (...) {
        return failed;
    }
}

// The device library's calls, and DFU.dll's loading before them: what a
// transfer is inside, what the library's process reports, what a crash is
// put down to. Their names and endings: LibraryCalls.h.
enum class TLibraryCall : uint32_t { None, Load, ResetToISP, Download, ResetToAP, ProcessCount };
inline constexpr size_t kLibraryCallCount = 6;

// What the watcher tells its host, on the watching thread.
struct TDownloadEvents {
    // A searching reading (also one after percentages).
    virtual void Searching() = 0;
    // A reading that differs from the percentage shown last; its low 16 bits,
    // also above 100.
    virtual void Loading(uint16_t percent) = 0;
    // Between two readings and between two checks for the end: the host's own
    // waiting (the window handles its waiting messages). False stops watching
    // and waiting at once, with nothing more told.
    virtual bool Wait() = 0;
    // The busy flag fell: the transfer has returned, the display may go.
    virtual void TransferOver() = 0;
    virtual ~TDownloadEvents() = default;
};

// Keeps to one download at a time, from the Start that creates its thread to
// the very end of that thread, past the moment its display has gone.
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

// One host's downloads, one at a time. The host's thread body runs Transfer
// (after whatever it asks first) and then Finish; the host's own thread
// watches with Watch and, when it needs the outcome, waits with WaitEnd.
//
// Start:  if (!session.Start(hook)) the previous download still runs;
// Thread: session.Finish(session.Transfer(device, info));  (or Declined)
// Watch:  session.Watch(device, events);  then  session.WaitEnd(events);
//
// The session outlives every thread it started: the gate ends last in Finish,
// and a host that goes away first waits for Running() to turn false.
class TDownloadSession {
public:
    // Unless a download runs (false then, nothing done): raises the busy flag
    // and calls startThread, which creates the thread that will run the
    // transfer and call Finish. When startThread throws, the gate ends and the
    // exception goes on; the busy flag stays up until the next Start.
    bool Start(const std::function<void()>& startThread);

    // On the download's thread: takes a snapshot of windowInfo (whose Keep
    // holds the bytes until the transfer has returned, so an Open meanwhile
    // cannot move or change them), switches to the loader, sends, switches
    // back. The busy flag falls as soon as DFU_Download returns; on the other
    // paths Finish lowers it. No step is retried and a failed step skips the
    // later ones. An exception from the snapshot or from a call counts as that
    // step failing (the snapshot's as a refused loader mode). snapshot,
    // when given, receives it, so that the record names what was sent.
    TDownloadOutcome Transfer(TDevice& device, const TImageInfo& windowInfo,
                              TImageInfo* snapshot = nullptr) noexcept;

    // The last thing the download's thread does with the session: records the
    // outcome, lowers the busy flag, ends the gate.
    void Finish(TDownloadOutcome outcome) noexcept;

    // While the busy flag is up: reads DFU_Get_ProcessCount, tells a searching
    // reading or a new percentage, then events.Wait(). The whole reading is
    // compared with the last percentage, so 65541 differs from 5; steady
    // readings tell nothing. True, after TransferOver(), once the flag has
    // fallen; false when Wait() stopped it. An exception from the device or
    // the events leaves with nothing more told.
    bool Watch(TDevice& device, TDownloadEvents& events);

    // Until Finish: events.Wait() between checks. The outcome, or none when
    // Wait() stopped it.
    std::optional<TDownloadOutcome> WaitEnd(TDownloadEvents& events);

    // Start, Watch and WaitEnd in one call, for a host that watches the
    // download it started: the outcome, or none when a download already ran
    // or Wait() stopped the watching.
    std::optional<TDownloadOutcome> Run(const std::function<void()>& startThread, TDevice& device,
                                        TDownloadEvents& events);

    // From Start to the end of Finish.
    bool Running() const { return gate_.Running(); }
    void WaitIdle() { gate_.WaitIdle(); }
    bool WaitIdleFor(std::chrono::milliseconds limit) { return gate_.WaitIdleFor(limit); }

    // Raised by Start, lowered when the transfer is over.
    std::atomic<bool>& Busy() noexcept { return busy_; }
    // The library call the transfer is inside, from any thread: a host can
    // put a crash or a hang down to its step.
    TLibraryCall Step() const noexcept { return step_.load(); }
    // The percentage told last, kept from one download to the next; 0 at first.
    uint16_t Percent() const noexcept { return percent_; }

private:
    template <class F>
    uint32_t Call(TLibraryCall step, F&& call) noexcept;

    TWorkerGate gate_;
    std::atomic<bool> busy_{false};
    std::atomic<TLibraryCall> step_{TLibraryCall::None};
    // Written before the gate ends, read after it has: the gate's lock orders them.
    TDownloadOutcome outcome_ = TDownloadOutcome::Declined;
    // Only the watching thread touches it.
    uint16_t percent_ = 0;
};

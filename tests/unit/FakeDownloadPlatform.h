// A platform and a device that record every call of the download's worker,
// for the tests of the worker and of the session around it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "window/WindowDownload.h"

namespace fakes {

inline const std::string kHourglassOff = "Hourglass(off) busy=0";

enum class TThrow { None, BadAlloc, Int };

// Records every call with the busy flag's value at that moment.
class TFakePlatform : public TDownloadPlatform, public TDevice {
public:
    explicit TFakePlatform(std::atomic<bool>& busy) : busy_(busy) {}

    int answer = kAnswerYes;
    uint32_t isp = 1, download = 1, ap = 1;
    // The logged call (without " busy=") that throws, and what it throws.
    std::string throwAt;
    TThrow throwKind = TThrow::BadAlloc;
    // Run inside the confirmation and inside the transfer; at every call.
    std::function<void()> onConfirm, onDownload, onCall;
    // DFU_Get_ProcessCount's readings.
    std::function<uint32_t()> onRead = [] { return 0u; };
    // Data that Download names "data" in the log.
    const uint8_t* knownData = nullptr;

    std::vector<std::string> log;
    std::vector<uint8_t> sentBytes;
    uint32_t sentCount = 0, sentSum = 0;

    int ShowBox(std::string_view text, std::string_view caption, unsigned style) override {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%02X", style);
        Record("Box(" + std::string(text) + "|" + std::string(caption) + "|" + hex + ")");
        if (text == kConfirmDownloadBox.Text) {
            if (onConfirm) onConfirm();
            return answer;
        }
        return 1;
    }
    void SetHourglass(bool on) override { Record(on ? "Hourglass(on)" : "Hourglass(off)"); }
    TDownloadLock lock{TDownloadLockTake::Taken, {}};
    TDownloadLock TakeDownloadLock() override { return Record("Lock"), lock; }
    void ReleaseDownloadLock() override { Record("Unlock"); }
    // With a log: what its Record reports (none: written).
    std::optional<std::optional<std::string>> recording;
    std::optional<std::string> Record(TDownloadOutcome outcome, const TImageInfo& image, uint64_t) override {
        if (!recording) return std::nullopt;
        Record("Record(" + std::string(OutcomeRecord(outcome).LogName) + "," + std::to_string(image.Size) +
               ")");
        return *recording;
    }
    uint32_t ResetToISP(uint32_t a, uint32_t b) override {
        Record("ResetToISP(" + std::to_string(a) + "," + std::to_string(b) + ")");
        return isp;
    }
    uint32_t Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) override {
        const char* tag = data == nullptr ? "null" : data == knownData ? "data" : "other";
        Record("Download(" + std::string(tag) + "," + std::to_string(zero) + "," + std::to_string(count) +
               "," + std::to_string(sum) + ")");
        if (onDownload) {
            onDownload();
            // What the library reads, after whatever onDownload did to the window's image.
            sentBytes.assign(data, data + count);
        }
        sentCount = count;
        sentSum = sum;
        return download;
    }
    uint32_t ResetToAP() override {
        Record("ResetToAP()");
        return ap;
    }
    uint32_t ProcessCount() override { return onRead(); }

private:
    void Record(const std::string& call) {
        if (onCall) onCall();
        log.push_back(call + (busy_.load() ? " busy=1" : " busy=0"));
        if (call == throwAt) {
            if (throwKind == TThrow::Int) throw 42;
            throw std::bad_alloc();
        }
    }

    std::atomic<bool>& busy_;
};

inline const uint8_t kFiveBytes[5] = {1, 2, 3, 4, 5};

inline TImageInfo FiveByteImage() {
    TImageInfo info;
    info.Data = kFiveBytes;
    info.Size = 5;
    info.Sum = 0x1234;
    return info;
}

struct TRun {
    uint32_t result;
    bool busyAfter;
};

inline TRun RunWorker(TFakePlatform& platform, TDownloadSession& session, const TImageInfo& info) {
    session.Start([] {});
    const uint32_t result = RunDownloadWorker(platform, platform, info, session);
    return {result, session.Busy().load()};
}

}  // namespace fakes

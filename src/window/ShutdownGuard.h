// Windows must not end the session while a library call runs: the instrument
// would be left in its loader mode with half an image. During ISP, Download
// and AP the window answers WM_QUERYENDSESSION with FALSE and gives Windows
// the reason that its shutdown screen shows. When the session ends all the
// same ("Shut down anyway", a forced end), the download's record is written
// before the window lets it.
#pragma once

#include <windows.h>

#include <optional>

#include "window/CallRecord.h"
#include "Device.h"

// The window that answers for the program. Its thread.
void AttachShutdownGuard(HWND window);

// The answer to a message of the attached window when it is the guard's
// business; call it first in that window's procedure.
std::optional<LRESULT> ShutdownGuardMessage(HWND window, UINT msg, WPARAM wParam);

// Whether the window's thread has last given Windows the reason (true) or
// taken it back (false).
bool ShutdownReasonGiven();

// Marks a library call of step as running for its lifetime, and arms its
// record. Any thread.
class TLibraryCallMark {
public:
    explicit TLibraryCallMark(TLibraryCall step);
    ~TLibraryCallMark();
    TLibraryCallMark(const TLibraryCallMark&) = delete;
    TLibraryCallMark& operator=(const TLibraryCallMark&) = delete;

private:
    TCallRecordArm arm_;
};

// device with each ISP, Download and AP marked.
class TGuardedDevice final : public TDevice {
public:
    explicit TGuardedDevice(TDevice& device) : device_(device) {}
    uint32_t ResetToISP(uint32_t arg1, uint32_t arg2) override;
    uint32_t Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) override;
    uint32_t ResetToAP() override;
    uint32_t ProcessCount() override { return device_.ProcessCount(); }

private:
    TDevice& device_;
};

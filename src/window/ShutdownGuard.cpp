#include "window/ShutdownGuard.h"

#include <atomic>

namespace {

constexpr wchar_t kReason[] = L"Идёт загрузка программы в прибор. Дождитесь окончания.";

// Posted to the window when the first call begins or the last one ends: the
// reason may only be set and removed by the window's own thread.
constexpr UINT kCallsChanged = WM_APP + 0x5D;

std::atomic<int> RunningCalls{0};
std::atomic<HWND> GuardWindow{nullptr};
// As last given to Windows, whether it took it or not (Wine does not).
std::atomic<bool> ReasonGiven{false};

void CallsChanged() {
    if (const HWND window = GuardWindow.load()) PostMessageW(window, kCallsChanged, 0, 0);
}

void SyncReason(HWND window) {
    if (RunningCalls.load() > 0) {
        ShutdownBlockReasonCreate(window, kReason);
        ReasonGiven = true;
    } else {
        ShutdownBlockReasonDestroy(window);
        ReasonGiven = false;
    }
}

}  // namespace

void AttachShutdownGuard(HWND window) {
    GuardWindow = window;
}

std::optional<LRESULT> ShutdownGuardMessage(HWND window, UINT msg, WPARAM wParam) {
    switch (msg) {
    case WM_QUERYENDSESSION:
        if (RunningCalls.load() == 0) return std::nullopt;
        // Also here: the posted change may not have been handled yet.
        SyncReason(window);
        return FALSE;
    case WM_ENDSESSION:
        // The process may be ended as soon as this returns.
        if (wParam) WriteClosedRecord();
        return std::nullopt;
    case kCallsChanged:
        SyncReason(window);
        return 0;
    case WM_DESTROY:
        GuardWindow.compare_exchange_strong(window, nullptr);
        return std::nullopt;
    }
    return std::nullopt;
}

bool ShutdownReasonGiven() {
    return ReasonGiven.load();
}

TLibraryCallMark::TLibraryCallMark(TLibraryCall step) : arm_(step) {
    if (RunningCalls++ == 0) CallsChanged();
}

TLibraryCallMark::~TLibraryCallMark() {
    if (--RunningCalls == 0) CallsChanged();
}

uint32_t TGuardedDevice::ResetToISP(uint32_t arg1, uint32_t arg2) {
    TLibraryCallMark mark(TLibraryCall::ResetToISP);
    return device_.ResetToISP(arg1, arg2);
}

uint32_t TGuardedDevice::Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) {
    TLibraryCallMark mark(TLibraryCall::Download);
    return device_.Download(data, zero, count, sum);
}

uint32_t TGuardedDevice::ResetToAP() {
    TLibraryCallMark mark(TLibraryCall::ResetToAP);
    return device_.ResetToAP();
}

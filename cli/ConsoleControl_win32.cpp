#include "ConsoleControl.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace {

enum class TPhase { BeforeLibrary, InLibrary, Concluded };

struct TControlState {
    std::mutex lock;
    TPhase phase = TPhase::BeforeLibrary;
    bool interrupted = false;
    std::atomic<int> presses{0};
    std::atomic<bool> closed{false};
    std::atomic<bool> crashed{false};
    std::atomic<uint32_t> crashCode{0};
    std::atomic<DWORD> transferThread{0};
    // Made once and kept: a handler may still wait on them as the process ends.
    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE mainThread = nullptr;
    LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
};

TControlState& State() {
    static TControlState state;
    return state;
}

bool IsClose(DWORD type) {
    return type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT;
}

BOOL WINAPI OnControl(DWORD type) {
    TControlState& s = State();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.phase == TPhase::BeforeLibrary) {
            s.interrupted = true;
            // The question's read gives up; Ctrl+C alone cuts it short, a close does not.
            if (s.mainThread != nullptr) CancelSynchronousIo(s.mainThread);
        } else if (s.phase == TPhase::InLibrary) {
            if (IsClose(type))
                s.closed = true;
            else
                ++s.presses;
        }
        SetEvent(s.wake);
    }
    // The system ends the process as soon as a close's handler returns: not
    // before the command has told and recorded its ending.
    if (IsClose(type)) WaitForSingleObject(s.finished, INFINITE);
    return TRUE;
}

// A crash inside the library on the transfer's thread is its step failing:
// recorded for the main thread, which tells it and ends the process. This
// thread goes no further: the library's state is past trusting.
LONG WINAPI OnCrash(EXCEPTION_POINTERS* exception) {
    TControlState& s = State();
    if (GetCurrentThreadId() != s.transferThread.load())
        return s.previousFilter != nullptr ? s.previousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
    s.crashCode = exception->ExceptionRecord->ExceptionCode;
    s.crashed = true;
    SetEvent(s.wake);
    for (;;) Sleep(INFINITE);
}

}  // namespace

TConsoleControl::TConsoleControl() {
    TControlState& s = State();
    NextUnit();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.closed = false;
        s.crashed = false;
        ResetEvent(s.finished);
        if (s.mainThread == nullptr)
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &s.mainThread, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
    }
    s.previousFilter = SetUnhandledExceptionFilter(OnCrash);
    SetConsoleCtrlHandler(OnControl, TRUE);
}

void TConsoleControl::NextUnit() {
    TControlState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.phase = TPhase::BeforeLibrary;
    s.interrupted = false;
    s.presses = 0;
    s.transferThread = 0;
}

TConsoleControl::~TConsoleControl() {
    TControlState& s = State();
    Conclude();
    SetEvent(s.finished);
    SetConsoleCtrlHandler(OnControl, FALSE);
    SetUnhandledExceptionFilter(s.previousFilter);
}

void* TConsoleControl::WakeEvent() const {
    return State().wake;
}

bool TConsoleControl::Interrupted() const {
    TControlState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.interrupted;
}

bool TConsoleControl::EnterLibrary() {
    TControlState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.interrupted) return false;
    s.phase = TPhase::InLibrary;
    return true;
}

void TConsoleControl::Conclude() {
    TControlState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.phase = TPhase::Concluded;
}

void TConsoleControl::OnTransferThread() {
    State().transferThread = GetCurrentThreadId();
}

int TConsoleControl::Presses() const {
    return State().presses.load();
}

bool TConsoleControl::TakeClosed() {
    return State().closed.exchange(false);
}

std::optional<uint32_t> TConsoleControl::Crash() const {
    const TControlState& s = State();
    if (!s.crashed.load()) return std::nullopt;
    return s.crashCode.load();
}

#include "ConsoleControl.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "ExitCodes.h"

namespace {

// How long Ctrl+C before the library waits for the main thread to conclude
// before the handler ends the command itself.
constexpr DWORD kStuckMs = 2000;

enum class TPhase { BeforeLibrary, InLibrary, Concluded };

struct TControlState {
    std::mutex lock;
    TPhase phase = TPhase::BeforeLibrary;
    bool interrupted = false;
    std::atomic<int> presses{0};
    std::atomic<bool> closed{false};
    std::string stuckLine;
    // Made once and kept: a handler may still wait on them as the process ends.
    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE concluded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE mainThread = nullptr;
};

TControlState& State() {
    static TControlState state;
    return state;
}

bool IsClose(DWORD type) {
    return type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT;
}

// The main thread is held by something outside fwimage (a log on a pipe
// that nobody reads): nothing has been sent, so the command ends here.
void EndIfStuck(TControlState& s) {
    if (WaitForSingleObject(s.concluded, kStuckMs) == WAIT_OBJECT_0) return;
    const std::string line = s.stuckLine + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
              nullptr);
    TerminateProcess(GetCurrentProcess(), kExitInterrupted);
}

BOOL WINAPI OnControl(DWORD type) {
    TControlState& s = State();
    bool before = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.phase == TPhase::BeforeLibrary) {
            before = true;
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
    if (IsClose(type))
        WaitForSingleObject(s.finished, INFINITE);
    else if (before)
        EndIfStuck(s);
    return TRUE;
}

}  // namespace

TConsoleControl::TConsoleControl(std::string_view stuckLine) {
    TControlState& s = State();
    NextUnit();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.closed = false;
        s.stuckLine = stuckLine;
        ResetEvent(s.finished);
        if (s.mainThread == nullptr)
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &s.mainThread, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
    }
    SetConsoleCtrlHandler(OnControl, TRUE);
}

void TConsoleControl::NextUnit() {
    TControlState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.phase = TPhase::BeforeLibrary;
    s.interrupted = false;
    s.presses = 0;
    ResetEvent(s.concluded);
}

TConsoleControl::~TConsoleControl() {
    TControlState& s = State();
    Conclude();
    SetEvent(s.finished);
    SetConsoleCtrlHandler(OnControl, FALSE);
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
    SetEvent(s.concluded);
}

int TConsoleControl::Presses() const {
    return State().presses.load();
}

bool TConsoleControl::TakeClosed() {
    return State().closed.exchange(false);
}

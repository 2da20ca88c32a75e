#include "download/ConsoleControl.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "image/ExitCodes.h"

namespace {

// How long Ctrl+C before the library waits for the main thread to conclude
// before the handler ends the command itself.
constexpr DWORD kStuckMs = 2000;
// How long the session's end waits for the record: about what Windows
// gives a process before it ends it anyway.
constexpr DWORD kRecordMs = 5000;
// The hidden window's own teardown at the command's end.
constexpr DWORD kTeardownMs = 1000;
// To the hidden window: give Windows the reason (wParam 1) or take it back.
constexpr UINT kHoldSession = WM_APP + 1;

// Once user32 is loaded, log-off and shutdown no longer reach the console's
// handler: a hidden window receives them, from the start of the library's
// process to the command's end, and while the library steps run it holds
// the session with a reason, which the shutdown screen shows.
constexpr wchar_t kSessionClass[] = L"fwimage download";
constexpr wchar_t kReason[] = L"Идёт загрузка программы в прибор. Дождитесь окончания.";

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
    // The hidden window's thread, its window once made, and what ends it.
    HANDLE sessionThread = nullptr;
    HWND sessionWindow = nullptr;
    HANDLE sessionStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

// Never destroyed: the hidden window's thread may still be making its
// window as the process ends.
TControlState& State() {
    static TControlState& state = *new TControlState;
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
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0, mode = 0;
    // A console takes UTF-16 whatever its code page; a file or pipe the UTF-8.
    if (GetConsoleMode(err, &mode)) {
        std::wstring wide(line.size(), L'\0');
        wide.resize(static_cast<size_t>(MultiByteToWideChar(
            CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(), static_cast<int>(wide.size()))));
        WriteConsoleW(err, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
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

// The session ends during the library steps: the ending is the main
// thread's, as a closing console's is, and the system may end the process
// as soon as this returns.
void SessionEnds() {
    TControlState& s = State();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.phase != TPhase::InLibrary) return;
        s.closed = true;
        SetEvent(s.wake);
    }
    WaitForSingleObject(s.finished, kRecordMs);
}

LRESULT CALLBACK SessionProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_QUERYENDSESSION) {
        TControlState& s = State();
        std::lock_guard<std::mutex> guard(s.lock);
        return s.phase == TPhase::InLibrary ? FALSE : TRUE;
    }
    if (msg == WM_ENDSESSION) {
        if (wParam) SessionEnds();
        return 0;
    }
    if (msg == kHoldSession) {
        if (wParam)
            ShutdownBlockReasonCreate(window, kReason);
        else
            ShutdownBlockReasonDestroy(window);
        return 0;
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}

// The reason follows the phase; under the state's lock.
void HoldSession(TControlState& s) {
    if (s.sessionWindow != nullptr) PostMessageW(s.sessionWindow, kHoldSession, s.phase == TPhase::InLibrary, 0);
}

DWORD WINAPI SessionThread(void*) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = SessionProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kSessionClass;
    RegisterClassW(&windowClass);
    const HWND window = CreateWindowExW(0, kSessionClass, L"fwimage", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                        nullptr, instance, nullptr);
    TControlState& s = State();
    if (window) {
        std::lock_guard<std::mutex> guard(s.lock);
        s.sessionWindow = window;
        HoldSession(s);
    }
    const HANDLE stop = s.sessionStop;
    while (MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    if (window) {
        {
            std::lock_guard<std::mutex> guard(s.lock);
            s.sessionWindow = nullptr;
        }
        ShutdownBlockReasonDestroy(window);
        DestroyWindow(window);
    }
    return 0;
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
    if (s.sessionThread != nullptr) {
        SetEvent(s.sessionStop);
        bool made = false;
        {
            std::lock_guard<std::mutex> guard(s.lock);
            made = s.sessionWindow != nullptr;
        }
        // Its teardown only: a window still being made is left to the process's end.
        if (made) WaitForSingleObject(s.sessionThread, kTeardownMs);
        CloseHandle(s.sessionThread);
        s.sessionThread = nullptr;
    }
    SetConsoleCtrlHandler(OnControl, FALSE);
}

void TConsoleControl::WatchSession() {
    TControlState& s = State();
    if (s.sessionThread != nullptr) return;
    ResetEvent(s.sessionStop);
    s.sessionThread = CreateThread(nullptr, 0, SessionThread, nullptr, 0, nullptr);
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
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.interrupted) return false;
        s.phase = TPhase::InLibrary;
        HoldSession(s);
    }
    WatchSession();
    return true;
}

void TConsoleControl::Conclude() {
    TControlState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.phase = TPhase::Concluded;
    SetEvent(s.concluded);
    HoldSession(s);
}

int TConsoleControl::Presses() const {
    return State().presses.load();
}

bool TConsoleControl::TakeClosed() {
    return State().closed.exchange(false);
}

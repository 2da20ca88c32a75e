// What stops a download from outside its flow: Ctrl+C, Ctrl+Break, the
// console closing and, during the library steps, the session's end (a hidden
// window, made as the library's process starts). Their handlers only record what came and wake the
// main thread, which ends the command. Windows.
#pragma once

#include <string_view>

class TConsoleControl {
public:
    // Installs the handlers for one command; there is one at a time.
    // stuckLine: told by the handler itself when Ctrl+C comes before the
    // library and the main thread does not conclude soon (a file that blocks).
    explicit TConsoleControl(std::string_view stuckLine);
    // A closing console's handler may return, and the system end the process.
    ~TConsoleControl();
    TConsoleControl(const TConsoleControl&) = delete;
    TConsoleControl& operator=(const TConsoleControl&) = delete;

    // Set whenever a handler has recorded something (a HANDLE).
    void* WakeEvent() const;

    // The hidden window's thread starts, once a command: its window is made
    // while the library loads, and only its teardown is waited for.
    void WatchSession();

    // Before the library: Ctrl+C, Ctrl+Break or a close has come.
    bool Interrupted() const;
    // From here on Ctrl+C is held and the session's end too; false when
    // interrupted already.
    bool EnterLibrary();
    // The ending is being told: nothing changes it any more; the session is
    // no longer held.
    void Conclude();
    // A station loop's next unit: as before the library again, with nothing
    // of the last unit's Ctrl+C kept.
    void NextUnit();

    // While the library works: Ctrl+C and Ctrl+Break so far; whether the
    // console closed or the session ended (told once).
    int Presses() const;
    bool TakeClosed();
};

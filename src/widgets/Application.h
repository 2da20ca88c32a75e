// The application object: title, message loop, the default failure display,
// the system's own message boxes and the application-wide cursor setting.
#pragma once

#include <windows.h>

#include <exception>
#include <string>
#include <string_view>

namespace widgets {

class TForm;

enum class TCursorSetting { Default, HourGlass };

// The silent failure: it ends the handler that raises it like any other, and
// the failure display shows nothing for it.
class EAbort : public std::exception {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

class TApplication {
public:
    TApplication() = delete;

    // Starts the windowing runtime and makes the hidden application window
    // that owns the failure boxes.
    static void Initialize(HINSTANCE instance);
    // Releases what Initialize made.
    static void Finalize() noexcept;

    static HINSTANCE Instance() noexcept;
    // The hidden application window.
    static HWND Handle() noexcept;
    // Pixels per inch of the screen.
    static int Dpi() noexcept;

    static std::wstring Title();
    static void SetTitle(std::wstring_view title);

    // Shows mainForm and handles messages until the quit flag is set.
    static void Run(TForm& mainForm);
    // Handles every waiting message of the calling thread without waiting
    // for new ones; a quit request taken here only sets the quit flag.
    static void ProcessMessages();
    // Posts the quit request.
    static void Terminate() noexcept;

    // The default failure display for the given failure (EAbort: nothing).
    static void HandleException(std::exception_ptr failure) noexcept;
    // Shows message as a failure: full stop rule, the title as caption, the
    // stop icon and OK, owned by the application.
    static void ShowException(const std::string& message) noexcept;

    // A box of the system's own: no owner window; UTF-8 texts. Returns the
    // button pressed. Any thread.
    static int SystemMessageBox(std::string_view text, std::string_view caption, UINT style);

    // The cursor that every window of the program shows over its client
    // area. Any thread.
    static void SetCursorSetting(TCursorSetting value);
    static TCursorSetting CursorSetting() noexcept;

private:
    static bool ProcessMessage();
    static void Idle();
};

}  // namespace widgets

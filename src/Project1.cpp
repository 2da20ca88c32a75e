// Start-up and shutdown.
#include <windows.h>

#include <memory>

#include "HexFile2BinMemoryStream.h"
#include "Unit1.h"
#include "WindowDownload.h"
#include "runtime/CommandLine.h"
#include "widgets/Application.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using widgets::TApplication;
    TApplication::Initialize(instance);
    TApplication::SetTitle(kAppTitle);
    int exitCode = 0;
    try {
        // Made hidden; Run shows it.
        auto Form1 = std::make_unique<TForm1>();
        // "Open with", a shortcut or a file dropped on the program's icon:
        // the file is opened once the window is up, as Open would; the
        // shortcut's log is proved first.
        const TWindowArgs args = WindowArgs(rt::CommandArgs(0, nullptr));
        if (args.LogFile || args.Image)
            Form1->OnShown = [&form = *Form1, args] {
                if (args.LogFile) form.UseLog(*args.LogFile);
                if (args.Image) form.OpenFile(*args.Image);
            };
        TApplication::Run(*Form1);
    } catch (...) {
        // Only the window's creation can get here: the loop shows its
        // failures itself.
        TApplication::HandleException(std::current_exception());
        exitCode = 1;
    }
    FinalizeHexFile2BinMemoryStream();
    TApplication::Finalize();
    return exitCode;
}

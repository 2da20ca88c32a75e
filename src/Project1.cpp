// Start-up and shutdown.
#include <windows.h>

#include <memory>

#include "HexFile2BinMemoryStream.h"
#include "Unit1.h"
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
        // the file is opened once the window is up, as Open would.
        const std::vector<std::string> args = rt::CommandArgs(0, nullptr);
        if (!args.empty()) Form1->OnShown = [&form = *Form1, path = args.front()] { form.OpenFile(path); };
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

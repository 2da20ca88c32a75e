// Start-up and shutdown.
#include <windows.h>

#include <memory>

#include "DeviceLibraryOrigin.h"
#include "HexFile2BinMemoryStream.h"
#include "Unit1.h"
#include "WindowDownload.h"
#include "runtime/CommandLine.h"
#include "widgets/Application.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Nothing loaded from now on (DFU.dll's own libraries included) is looked
    // for in the current folder, and a drive without a medium fails a call
    // instead of stopping the program with a system box.
    SetDllDirectoryW(L"");
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    const std::wstring planted = DeviceLibraryFromStartFolder();
    if (!planted.empty()) {
        MessageBoxW(nullptr, StartFolderLibraryText(planted).c_str(), kAppTitle, MB_OK | MB_ICONERROR);
        return 1;
    }

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

// Start-up and shutdown.
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "window/CallRecord.h"
#include "window/DeviceLibraryOrigin.h"
#include "HexFile2BinMemoryStream.h"
#include "Unit1.h"
#include "window/WindowDownload.h"
#include "runtime/CommandLine.h"
#include "runtime/Utf16.h"
#include "widgets/Application.h"

namespace {

std::optional<std::string> EnvironmentValue(const std::string& name) {
    const std::wstring wide = rt::Utf8ToUtf16(name);
    std::wstring value(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(wide.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        if (length < value.size()) {
            value.resize(length);
            return rt::Utf16ToUtf8(value);
        }
        value.resize(length);  // the size it needs, its NUL included
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // A drive without a medium fails a call instead of stopping the program
    // with a system box.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // The usage needs neither the library nor the window: a program that
    // cannot start without DFU.dll still tells how it is started.
    const TWindowArgs args = WindowArgs(rt::CommandArgs(0, nullptr), EnvironmentValue);
    if (args.Help || args.Unknown) {
        MessageBoxW(nullptr, rt::Utf8ToUtf16(WindowUsageText(args)).c_str(), kAppTitle,
                    MB_OK | (args.Unknown ? MB_ICONERROR : MB_ICONINFORMATION));
        return args.Unknown ? kUsageExitCode : 0;
    }
    // Bound before anything else, from where the program trusts it and never
    // from the current folder; kept until the process ends, as a library the
    // program imported would be (its threads may outlive any call).
    const std::vector<std::wstring> folders = WindowLibraryFolders();
    TDeviceBinding binding = BindDevice(folders);
    if (!binding.Device) {
        MessageBoxW(nullptr, UnboundLibraryText(binding, PassedStartFolderLibrary(folders)).c_str(), kAppTitle,
                    MB_OK | MB_ICONERROR);
        return 1;
    }
    TDevice& device = *binding.Device.release();
    InstallCallRecordFilter();

    using widgets::TApplication;
    TApplication::Initialize(instance);
    TApplication::SetTitle(kAppTitle);
    int exitCode = 0;
    try {
        // Made hidden; Run shows it.
        auto Form1 = std::make_unique<TForm1>(device, binding.Simulated);
        // "Open with", a shortcut or a file dropped on the program's icon:
        // the file is opened once the window is up, as Open would; the
        // shortcut's log is proved first.
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

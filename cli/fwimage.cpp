// fwimage: the loader's image steps from the command line.
#include "Console.h"
#include "FwimageMain.h"
#include "host/LibraryHost.h"
#include "TextForm.h"
#include "runtime/CommandLine.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    // The device library and what it loads are never looked for in the
    // current folder, and a drive without a medium fails a call instead of
    // stopping a script with a system box.
    SetDllDirectoryW(L"");
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // fwimage started again to run the device library apart (LibraryHost.h).
    if (argc > 1 && std::string_view(argv[1]) == kLibraryHostSwitch) return RunLibraryHost(argc, argv);
#endif
    std::vector<std::string> args = rt::CommandArgs(argc, argv);
    if (TakeUtf8Switch(args, std::getenv("FWIMAGE_UTF8"))) UseUtf8Output();
    return RunFwimage(args, ConsoleOut(), ConsoleErr());
}

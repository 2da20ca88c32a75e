#include "runtime/CommandLine.h"

#include <windows.h>
#include <shellapi.h>

#include "runtime/Utf16.h"

namespace rt {

std::vector<std::string> CommandArgs(int, char**) {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return args;
    try {
        for (int i = 1; i < count; ++i) args.push_back(Utf16ToUtf8(wide[i]));
    } catch (...) {
        LocalFree(wide);
        throw;
    }
    LocalFree(wide);
    return args;
}

}  // namespace rt

#include "runtime/CommandLine.h"

#include <windows.h>

#include "runtime/Utf16.h"

// The C runtime's own split of the wide command line, the one a wmain program
// gets. CommandLineToArgvW would bring in shell32, whose loading under Wine
// costs fwimage more than converting a 16 MiB image.
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expandWildcards,
                                      int* startInfo);

namespace rt {

std::vector<std::string> CommandArgs(int, char**) {
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** env = nullptr;
    int startInfo = 0;
    if (__wgetmainargs(&count, &wide, &env, 0, &startInfo) < 0 || wide == nullptr) return args;
    for (int i = 1; i < count; ++i) args.push_back(Utf16ToUtf8(wide[i]));
    return args;
}

}  // namespace rt

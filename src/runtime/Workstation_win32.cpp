#include "runtime/Workstation.h"

#include <windows.h>

#include "runtime/Utf16.h"

namespace rt {

namespace {

template <class F>
std::string Asked(F&& call) {
    wchar_t name[257];  // UNLEN + 1 and MAX_COMPUTERNAME_LENGTH + 1 both fit
    DWORD size = sizeof name / sizeof name[0];
    return call(name, &size) ? Utf16ToUtf8(std::wstring_view(name, wcsnlen(name, size))) : std::string();
}

}  // namespace

const std::string& StationName() {
    static const std::string name = Asked([](wchar_t* n, DWORD* s) { return GetComputerNameW(n, s); });
    return name;
}

const std::string& OperatorName() {
    static const std::string name = Asked([](wchar_t* n, DWORD* s) { return GetUserNameW(n, s); });
    return name;
}

}  // namespace rt

#include "LoadedDevice.h"

#include <windows.h>

#include <string>

#include "DFU.h"
#include "runtime/FileIO.h"
#include "runtime/Utf16.h"

namespace {

constexpr wchar_t kLibraryName[] = L"DFU.dll";

// Loaded by its full path, the library's own dependencies are looked for in
// its folder first. The LOAD_LIBRARY_SEARCH_* flags would do more, but Windows
// 7 without update KB2533623 refuses them (ERROR_INVALID_PARAMETER).
constexpr DWORD kLoadFlags = LOAD_WITH_ALTERED_SEARCH_PATH;

std::string Quoted(const std::wstring& path) {
    std::string quoted(1, '"');
    quoted += rt::Utf16ToUtf8(path);
    quoted += '"';
    return quoted;
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) return FolderOf(path.substr(0, n));
        path.resize(path.size() * 2);
    }
}

std::wstring SystemFolder() {
    wchar_t path[MAX_PATH];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH);
    return n == 0 || n >= MAX_PATH ? std::wstring() : std::wstring(path, n);
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Why a DFU.dll that is there did not load, in words: the system's own texts
// for these codes name a file that is not the point ("The specified module
// could not be found" for the file that was found) or hold a bare "%1".
std::string LoadFailureText(DWORD code) {
    switch (code) {
    case ERROR_BAD_EXE_FORMAT:
        return "it is not a 32-bit Windows library (a 64-bit DFU.dll, or a damaged file); it needs the 32-bit "
               "DFU.dll of the instrument";
    case ERROR_MOD_NOT_FOUND:
        return "a library that DFU.dll needs is missing; put the files that come with the instrument's DFU.dll "
               "beside it";
    case ERROR_PROC_NOT_FOUND:
        return "a library that DFU.dll uses lacks a function it needs (a version that does not match); put the "
               "files that come with the instrument's DFU.dll beside it";
    default:
        return rt::SysErrorMessage(code, "DFU.dll");
    }
}

class TLoadedDevice final : public TDevice {
public:
    TLoadedDevice(HMODULE module, const std::wstring& path) : module_(module) {
        Bind(isp_, "DFU_Reset_To_ISP", path);
        Bind(download_, "DFU_Download", path);
        Bind(ap_, "DFU_Reset_To_AP", path);
        Bind(count_, "DFU_Get_ProcessCount", path);
    }
    ~TLoadedDevice() override { FreeLibrary(module_); }
    TLoadedDevice(const TLoadedDevice&) = delete;
    TLoadedDevice& operator=(const TLoadedDevice&) = delete;

    uint32_t ResetToISP(uint32_t arg1, uint32_t arg2) override { return isp_(arg1, arg2); }
    uint32_t Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) override {
        return download_(data, zero, count, sum);
    }
    uint32_t ResetToAP() override { return ap_(); }
    uint32_t ProcessCount() override { return count_(); }

private:
    template <class F>
    void Bind(F& function, const char* name, const std::wstring& path) {
        function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
        if (function == nullptr) {
            FreeLibrary(module_);
            throw EDeviceLoadError("The device library " + Quoted(path) + " has no entry point " + name);
        }
    }

    HMODULE module_;
    decltype(&DFU_Reset_To_ISP) isp_ = nullptr;
    decltype(&DFU_Download) download_ = nullptr;
    decltype(&DFU_Reset_To_AP) ap_ = nullptr;
    decltype(&DFU_Get_ProcessCount) count_ = nullptr;
};

}  // namespace

std::unique_ptr<TDevice> LoadDevice() {
    const std::wstring programFolder = ProgramFolder();
    const std::wstring systemFolder = SystemFolder();
    for (const std::wstring& folder : {programFolder, systemFolder}) {
        if (folder.empty()) continue;
        const std::wstring path = folder + L"\\" + kLibraryName;
        if (!FileExists(path)) continue;
        const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, kLoadFlags);
        if (module == nullptr) {
            const DWORD code = GetLastError();
            throw EDeviceLoadError("Cannot load the device library " + Quoted(path) + ": " +
                                   LoadFailureText(code));
        }
        return std::make_unique<TLoadedDevice>(module, path);
    }
    throw EDeviceLoadError("Cannot load the device library: DFU.dll is neither in " + Quoted(programFolder) +
                           " nor in " + Quoted(systemFolder));
}

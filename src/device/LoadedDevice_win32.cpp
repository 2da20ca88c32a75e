#include "LoadedDevice.h"

#include <windows.h>

#include <string>

#include "DFU.h"
#include "device/LibraryFolders.h"
#include "runtime/FileIO.h"
#include "runtime/GrowingCall.h"
#include "runtime/Utf16.h"

namespace {

constexpr wchar_t kLibraryName[] = L"DFU.dll";

// Resolved at run time: Windows 7 without update KB2533623 has neither the
// call nor the LOAD_LIBRARY_SEARCH_* flags (it refuses them with
// ERROR_INVALID_PARAMETER).
using TSetDefaultDllDirectories = BOOL(WINAPI*)(DWORD);

bool SearchFlagsTaken() {
    static const bool taken = [] {
        const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        const auto set = reinterpret_cast<TSetDefaultDllDirectories>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
        return set != nullptr && set(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS) != FALSE;
    }();
    return taken;
}

// The libraries DFU.dll loads itself once loaded come from the narrowed
// search, which without this lacks its folder (one on PATH, say).
void AddLibraryFolder(const std::wstring& folder) {
    using TAddDllDirectory = void*(WINAPI*)(PCWSTR);
    static const auto add = reinterpret_cast<TAddDllDirectory>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory")));
    if (add != nullptr && SearchFlagsTaken()) add(folder.c_str());
}

// By its full path, the library's own dependencies come from its folder
// first, then from the narrowed search.
DWORD LoadFlags() {
    return SearchFlagsTaken() ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
                              : LOAD_WITH_ALTERED_SEARCH_PATH;
}

std::string Quoted(const std::wstring& path) {
    std::string quoted(1, '"');
    quoted += rt::Utf16ToUtf8(path);
    quoted += '"';
    return quoted;
}

// Read from the file the module was loaded from: its name and folder say
// nothing, any library may be called DFU.dll.
bool MarkedSimulated(HMODULE module) {
    const std::wstring path =
        GrowingCall([&](wchar_t* b, DWORD n) { return GetModuleFileNameW(module, b, n); });
    DWORD ignored = 0;
    const DWORD size = path.empty() ? 0 : GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return false;
    std::wstring info((size + 1) / 2, L'\0');
    if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return false;
    void* value = nullptr;
    UINT length = 0;
    return VerQueryValueW(info.data(), L"\\StringFileInfo\\041904B0\\Simulated", &value, &length) &&
           length > 0;
}

std::wstring ProgramFolder() {
    const std::wstring path =
        GrowingCall([](wchar_t* b, DWORD n) { return GetModuleFileNameW(nullptr, b, n); });
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring SystemFolder() {
    return GrowingCall([](wchar_t* b, DWORD n) { return GetSystemDirectoryW(b, n); });
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
        return "это не 32-разрядная библиотека Windows (64-разрядная DFU.dll или повреждённый файл); нужна "
               "32-разрядная DFU.dll прибора";
    case ERROR_MOD_NOT_FOUND:
        return "нет библиотеки, которая нужна DFU.dll; положите рядом с ней файлы, которые поставляются с DFU.dll "
               "прибора";
    case ERROR_PROC_NOT_FOUND:
        return "в библиотеке, которую использует DFU.dll, нет нужной ей функции (версии не совпадают); положите "
               "рядом с ней файлы, которые поставляются с DFU.dll прибора";
    default:
        return rt::SysErrorMessage(code, "DFU.dll");
    }
}

class TLoadedDevice final : public TDevice {
public:
    explicit TLoadedDevice(HMODULE module) : module_(module) {}
    ~TLoadedDevice() override { FreeLibrary(module_); }
    TLoadedDevice(const TLoadedDevice&) = delete;
    TLoadedDevice& operator=(const TLoadedDevice&) = delete;

    // The first of the four names the library lacks; null when it has them all.
    const char* Bind() {
        if (!Bind(isp_, "DFU_Reset_To_ISP")) return "DFU_Reset_To_ISP";
        if (!Bind(download_, "DFU_Download")) return "DFU_Download";
        if (!Bind(ap_, "DFU_Reset_To_AP")) return "DFU_Reset_To_AP";
        if (!Bind(count_, "DFU_Get_ProcessCount")) return "DFU_Get_ProcessCount";
        return nullptr;
    }

    uint32_t ResetToISP(uint32_t arg1, uint32_t arg2) override { return isp_(arg1, arg2); }
    uint32_t Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) override {
        return download_(data, zero, count, sum);
    }
    uint32_t ResetToAP() override { return ap_(); }
    uint32_t ProcessCount() override { return count_(); }

private:
    template <class F>
    bool Bind(F& function, const char* name) {
        function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
        return function != nullptr;
    }

    HMODULE module_;
    decltype(&DFU_Reset_To_ISP) isp_ = nullptr;
    decltype(&DFU_Download) download_ = nullptr;
    decltype(&DFU_Reset_To_AP) ap_ = nullptr;
    decltype(&DFU_Get_ProcessCount) count_ = nullptr;
};

}  // namespace

void NarrowLibrarySearch() {
    if (!SearchFlagsTaken()) SetDllDirectoryW(L"");
}

TDeviceBinding BindDevice(const std::vector<std::wstring>& folders) {
    NarrowLibrarySearch();
    TDeviceBinding binding;
    for (const std::wstring& folder : folders) {
        if (folder.empty()) continue;
        const std::wstring path = InFolder(folder, kLibraryName);
        if (!FileExists(path)) continue;
        binding.Path = path;
        AddLibraryFolder(folder);
        const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LoadFlags());
        if (module == nullptr) {
            binding.Code = GetLastError();
            return binding;
        }
        auto device = std::make_unique<TLoadedDevice>(module);
        binding.MissingName = device->Bind();
        if (binding.MissingName != nullptr) {
            binding.Code = ERROR_PROC_NOT_FOUND;
        } else {
            binding.Device = std::move(device);
            binding.Simulated = MarkedSimulated(module);
        }
        return binding;
    }
    binding.Code = ERROR_MOD_NOT_FOUND;
    return binding;
}

std::vector<std::wstring> WindowLibraryFolders() {
    const std::wstring windows = GrowingCall([](wchar_t* b, DWORD n) { return GetWindowsDirectoryW(b, n); });
    std::vector<std::wstring> folders = {ProgramFolder(), SystemFolder(),
                                         windows.empty() ? std::wstring() : InFolder(windows, L"System"),
                                         windows};
    const std::wstring path =
        GrowingCall([](wchar_t* b, DWORD n) { return GetEnvironmentVariableW(L"PATH", b, n); });
    for (std::wstring& folder : AbsolutePathFolders(path)) folders.push_back(std::move(folder));
    return folders;
}

std::unique_ptr<TDevice> LoadDevice(bool& simulated) {
    const std::wstring programFolder = ProgramFolder();
    const std::wstring systemFolder = SystemFolder();
    TDeviceBinding binding = BindDevice({programFolder, systemFolder});
    simulated = binding.Simulated;
    if (binding.Device) return std::move(binding.Device);
    if (binding.Path.empty())
        throw EDeviceLoadError("Не найдена библиотека прибора DFU.dll: её нет ни в папке " +
                               Quoted(programFolder) + ", ни в " + Quoted(systemFolder));
    if (binding.MissingName != nullptr)
        throw EDeviceLoadError("В библиотеке прибора " + Quoted(binding.Path) + " нет функции " +
                               binding.MissingName);
    throw EDeviceLoadError("Не удалось загрузить библиотеку прибора " + Quoted(binding.Path) + ": " +
                           LoadFailureText(binding.Code));
}

#include "window/DeviceLibraryOrigin.h"

#include <windows.h>

#include "runtime/FileIO.h"
#include "runtime/GrowingCall.h"
#include "runtime/Utf16.h"

namespace {

// One spelling per folder: full, long names, no separator at the end.
std::wstring Normalized(const std::wstring& folder) {
    if (folder.empty()) return folder;
    std::wstring full =
        GrowingCall([&](wchar_t* b, DWORD n) { return GetFullPathNameW(folder.c_str(), n, b, nullptr); });
    if (full.empty()) full = folder;
    const std::wstring longName =
        GrowingCall([&](wchar_t* b, DWORD n) { return GetLongPathNameW(full.c_str(), b, n); });
    if (!longName.empty()) full = longName;
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    return full;
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && !b.empty() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// The system's text, and what it means here where it names the wrong file:
// "module not found" for a DFU.dll that was found.
std::wstring SystemText(uint32_t code, bool found) {
    std::wstring text = rt::Utf8ToUtf16(rt::SysErrorMessage(code)) + L".";
    if (found && code == ERROR_MOD_NOT_FOUND)
        text += L"\nНет библиотеки, которая нужна DFU.dll: положите рядом с DFU.dll файлы, которые поставляются "
                L"вместе с ней.";
    if (found && code == ERROR_BAD_EXE_FORMAT)
        text += L"\nЭто не 32-разрядная библиотека Windows (64-разрядная DFU.dll или повреждённый файл).";
    return text;
}

}  // namespace

std::wstring PassedStartFolderLibrary(const std::vector<std::wstring>& folders) {
    const std::wstring current =
        Normalized(GrowingCall([](wchar_t* b, DWORD n) { return GetCurrentDirectoryW(n, b); }));
    if (current.empty()) return {};
    for (const std::wstring& folder : folders)
        if (SameFolder(current, Normalized(folder))) return {};
    const std::wstring path = current + (current.back() == L'\\' ? L"" : L"\\") + L"DFU.dll";
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
    return path;
}

std::wstring UnboundLibraryText(const TDeviceBinding& binding, const std::wstring& passed) {
    std::wstring text;
    if (binding.Path.empty())
        text = L"Не найдена библиотека прибора DFU.dll: " + SystemText(binding.Code, false) +
               L"\n\nОна ищется в папке программы, в системных папках Windows и в папках, перечисленных в PATH.";
    else if (binding.MissingName != nullptr)
        text = L"В библиотеке прибора DFU.dll нет функции " + rt::Utf8ToUtf16(binding.MissingName) + L":\n" +
               binding.Path + L"\n\n" + SystemText(binding.Code, true);
    else
        text = L"Не удалось загрузить библиотеку прибора DFU.dll:\n" + binding.Path + L"\n\n" +
               SystemText(binding.Code, true);
    if (!passed.empty())
        text += L"\n\nDFU.dll из папки, откуда программа запущена, не использована:\n" + passed +
                L"\nБиблиотеки из этой папки не загружаются: это может быть чужая библиотека (например, имитация "
                L"прибора из демонстрационной папки), и прошивка не попала бы в прибор.";
    return text + L"\n\nПоложите DFU.dll прибора в папку программы, рядом с loader.exe, и запустите программу "
                  L"снова.";
}

/* What the HOSTILE_NEEDS DFU.dll imports; never beside it. Loaded, it
   appends its path to FWL_HOSTILE_MARKER: the proof that its code ran. */
#include <windows.h>

__declspec(dllexport) int FwlNeeded(void) { return 1; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    wchar_t marker[MAX_PATH], name[MAX_PATH + 1];
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH || !GetEnvironmentVariableW(L"FWL_HOSTILE_MARKER", marker, MAX_PATH)) return TRUE;
    HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    DWORD n = GetModuleFileNameW(instance, name, MAX_PATH), written;
    name[n++] = L'\n';
    WriteFile(file, name, n * sizeof(wchar_t), &written, NULL);
    CloseHandle(file);
    return TRUE;
}

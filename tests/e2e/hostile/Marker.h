/* A line with the module's path appended to FWL_HOSTILE_MARKER, when set:
   the proof that a library's code ran. */
#pragma once

#include <windows.h>

static void LeaveMarker(HINSTANCE module) {
    wchar_t path[MAX_PATH];
    char line[MAX_PATH * 3 + 2];
    if (!GetEnvironmentVariableW(L"FWL_HOSTILE_MARKER", path, MAX_PATH)) return;
    HANDLE file =
        CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    wchar_t name[MAX_PATH];
    const DWORD n = GetModuleFileNameW(module, name, MAX_PATH);
    int length = WideCharToMultiByte(CP_UTF8, 0, name, (int)n, line, (int)sizeof line - 2, NULL, NULL);
    line[length++] = '\n';
    DWORD written;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

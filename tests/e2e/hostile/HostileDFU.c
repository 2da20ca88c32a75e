/* A DFU.dll that misbehaves inside one call, for the tests of what fwimage
   and the window do then: HOSTILE_HANG never returns, HOSTILE_NULL writes
   through a null pointer, HOSTILE_RAISE raises an exception of its own,
   HOSTILE_NEEDS does not load (a library it imports is missing).
   FWL_HOSTILE_STEP names the call (isp, download, ap, or count for
   DFU_Get_ProcessCount; download when unset); FWL_HOSTILE_THREAD set moves
   the misbehaviour to a thread of the library's own. The calls that return
   are written to FWL_DFU_LOG as the simulated library writes them. */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define HOSTILE_EXCEPTION 0xE0F00D01u

static void Log(const char* call, uint32_t result) {
    wchar_t path[MAX_PATH];
    if (!GetEnvironmentVariableW(L"FWL_DFU_LOG", path, MAX_PATH)) return;
    HANDLE file =
        CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    char line[64];
    const int length = snprintf(line, sizeof line, "%s(...) = %u\n", call, (unsigned)result);
    DWORD written;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

/* Read at run time, so that the compiler cannot see the null pointer. */
static int* volatile nowhere = NULL;

#if defined(HOSTILE_NEEDS)
__declspec(dllimport) int FwlNeeded(void);
#endif

static DWORD WINAPI Misbehave(LPVOID unused) {
    (void)unused;
#if defined(HOSTILE_HANG)
    for (;;) Sleep(INFINITE);
#elif defined(HOSTILE_NULL)
    *nowhere = 1;
#elif defined(HOSTILE_NEEDS)
    FwlNeeded();
#else
    RaiseException(HOSTILE_EXCEPTION, EXCEPTION_NONCONTINUABLE, 0, NULL);
#endif
    return 0;
}

/* With FWL_HOSTILE_THREAD set, on a thread of the library's own while the
   call waits for ever. */
static void MisbehaveIn(const char* step) {
    char chosen[16] = "download";
    GetEnvironmentVariableA("FWL_HOSTILE_STEP", chosen, sizeof chosen);
    if (strcmp(chosen, step) != 0) return;
    if (GetEnvironmentVariableA("FWL_HOSTILE_THREAD", NULL, 0) != 0) {
        CloseHandle(CreateThread(NULL, 0, Misbehave, NULL, 0, NULL));
        for (;;) Sleep(INFINITE);
    }
    Misbehave(NULL);
}

__declspec(dllexport) uint32_t __stdcall DFU_Reset_To_ISP(uint32_t a, uint32_t b) {
    (void)a, (void)b;
    MisbehaveIn("isp");
    Log("DFU_Reset_To_ISP", 1);
    return 1;
}

__declspec(dllexport) uint32_t
    __stdcall DFU_Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) {
    (void)data, (void)zero, (void)count, (void)sum;
    MisbehaveIn("download");
    Log("DFU_Download", 1);
    return 1;
}

__declspec(dllexport) uint32_t __stdcall DFU_Reset_To_AP(void) {
    MisbehaveIn("ap");
    Log("DFU_Reset_To_AP", 1);
    return 1;
}

__declspec(dllexport) uint32_t __stdcall DFU_Get_ProcessCount(void) {
    MisbehaveIn("count");
    return 42;
}

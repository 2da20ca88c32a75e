/* A DFU.dll that misbehaves inside one call, for the tests of what fwimage
   and the window do then: HOSTILE_HANG never returns, HOSTILE_NULL writes through a null
   pointer, HOSTILE_RAISE raises an exception of its own, HOSTILE_NEEDS does
   not load (a library it imports is missing), HOSTILE_THREAD crashes on a
   thread of its own, HOSTILE_FILTER replaces the top-level exception filter
   and crashes, HOSTILE_FASTFAIL fails fast, HOSTILE_EXITTHREAD ends the
   calling thread, HOSTILE_EXITPROCESS ends the process with 0, HOSTILE_SLOW
   returns after 1.5 s, HOSTILE_PRINT writes to its standard output and
   error in each call, HOSTILE_DLLMAIN never returns from loading.
   FWL_HOSTILE_STEP names the call (isp, download, ap, count for
   DFU_Get_ProcessCount, or reading: DFU_Get_ProcessCount while DFU_Download
   runs, which then lasts 300 ms; download when unset); FWL_HOSTILE_THREAD
   set moves the misbehaviour to a thread of the library's own, as
   HOSTILE_THREAD does with a null write; FWL_HOSTILE_UNIT, when set, the
   unit (counted by the DFU_Reset_To_ISP calls in the log) whose call
   misbehaves; HOSTILE_PRINT, in the chosen call, prints 64 KiB and then
   writes through a null pointer. The calls that
   return are written to FWL_DFU_LOG as the simulated library writes them,
   the bytes DFU_Download received to FWL_DFU_BYTES, and each attach and
   detach of the process to FWL_DLLMAIN_MARK. DFU_Download writes into the
   image's buffer (its first byte, unchanged). */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
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

/* The unit in progress: DFU_Reset_To_ISP calls logged so far (one more
   while inside it). */
static int UnitNow(void) {
    char path[MAX_PATH], line[128];
    int units = 0;
    if (!GetEnvironmentVariableA("FWL_DFU_LOG", path, MAX_PATH)) return 0;
    FILE* log = fopen(path, "r");
    if (log == NULL) return 0;
    while (fgets(line, sizeof line, log))
        if (strncmp(line, "DFU_Reset_To_ISP(", 17) == 0) ++units;
    fclose(log);
    return units;
}

/* Read at run time, so that the compiler cannot see the null pointer. */
static int* volatile nowhere = NULL;
static volatile LONG downloading = 0;

#if defined(HOSTILE_NEEDS)
__declspec(dllimport) int FwlNeeded(void);
#endif

#if defined(HOSTILE_FILTER)
static LONG WINAPI OwnFilter(EXCEPTION_POINTERS* exception) {
    (void)exception;
    return EXCEPTION_CONTINUE_SEARCH;
}
#endif

static int Chosen(const char* step) {
    char chosen[16] = "download", unit[16];
    GetEnvironmentVariableA("FWL_HOSTILE_STEP", chosen, sizeof chosen);
    if (strcmp(chosen, step) != 0) return 0;
    if (!GetEnvironmentVariableA("FWL_HOSTILE_UNIT", unit, sizeof unit)) return 1;
    return UnitNow() + (strcmp(step, "isp") == 0) == atoi(unit);
}

static DWORD WINAPI Misbehave(LPVOID unused) {
    (void)unused;
#if defined(HOSTILE_HANG)
    for (;;) Sleep(INFINITE);
#elif defined(HOSTILE_NULL) || defined(HOSTILE_THREAD)
    *nowhere = 1;
#elif defined(HOSTILE_NEEDS)
    FwlNeeded();
#elif defined(HOSTILE_FILTER)
    SetUnhandledExceptionFilter(OwnFilter);
    *nowhere = 1;
#elif defined(HOSTILE_FASTFAIL)
    __asm__ volatile("int $0x29" : : "c"(7));
#elif defined(HOSTILE_EXITTHREAD)
    ExitThread(3);
#elif defined(HOSTILE_EXITPROCESS)
    ExitProcess(0);
#elif defined(HOSTILE_SLOW)
    Sleep(1500);
#elif defined(HOSTILE_PRINT)
    for (int line = 0; line < 1024; ++line)
        printf("hostile: %59d\n", line);
    fflush(stdout);
    *nowhere = 1;
#elif defined(HOSTILE_RAISE)
    RaiseException(HOSTILE_EXCEPTION, EXCEPTION_NONCONTINUABLE, 0, NULL);
#endif
    return 0;
}

/* On a thread of the library's own, the call waiting for ever, with
   FWL_HOSTILE_THREAD set or HOSTILE_THREAD. */
static void MisbehaveIn(const char* step) {
#if defined(HOSTILE_PRINT)
    printf("hostile: in %s\n", step);
    fflush(stdout);
    fprintf(stderr, "hostile: стандартная ошибка\n");
#endif
    if (!Chosen(step)) return;
#if !defined(HOSTILE_THREAD)
    if (GetEnvironmentVariableA("FWL_HOSTILE_THREAD", NULL, 0) != 0)
#endif
    {
        CloseHandle(CreateThread(NULL, 0, Misbehave, NULL, 0, NULL));
        for (;;) Sleep(INFINITE);
    }
    Misbehave(NULL);
}

static void Mark(const char* what) {
    wchar_t path[MAX_PATH];
    if (!GetEnvironmentVariableW(L"FWL_DLLMAIN_MARK", path, MAX_PATH)) return;
    HANDLE file =
        CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(file, what, (DWORD)strlen(what), &written, NULL);
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance, (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) Mark("attach\n");
    if (reason == DLL_PROCESS_DETACH) Mark("detach\n");
#if defined(HOSTILE_DLLMAIN)
    if (reason == DLL_PROCESS_ATTACH)
        for (;;) Sleep(INFINITE);
#else
    (void)reason;
#endif
    return TRUE;
}

__declspec(dllexport) uint32_t __stdcall DFU_Reset_To_ISP(uint32_t a, uint32_t b) {
    (void)a, (void)b;
    MisbehaveIn("isp");
    Log("DFU_Reset_To_ISP", 1);
    return 1;
}

__declspec(dllexport) uint32_t
    __stdcall DFU_Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) {
    (void)zero, (void)sum;
    InterlockedExchange(&downloading, 1);
    /* As a library may: its buffer is the caller's memory. */
    if (count > 0) ((volatile uint8_t*)data)[0] = data[0];
    MisbehaveIn("download");
    if (Chosen("reading")) Sleep(300);
    InterlockedExchange(&downloading, 0);
    wchar_t path[MAX_PATH];
    if (GetEnvironmentVariableW(L"FWL_DFU_BYTES", path, MAX_PATH)) {
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD written;
        WriteFile(file, data, count, &written, NULL);
        CloseHandle(file);
    }
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
    if (downloading) MisbehaveIn("reading");
    return 42;
}

// Scripted mode (FWL_DFU_SCRIPT): every reading and every result of the
// simulated instrument comes from a test, through the named shared memory and
// events of SimShared.h.
#include <windows.h>

#include <cstring>
#include <string>

#include "DFUInternal.h"

namespace fwlsim {

Script g_script;

bool Scripted() {
    return !g_cfg.script.empty();
}

void CloseScript() {
    Shared* s = g_script.shm.exchange(nullptr);
    if (s) UnmapViewOfFile(s);
    for (HANDLE* set : {g_script.entered, g_script.released, g_script.exited})
        for (int i = 0; i < kFnCount; ++i)
            if (set[i]) CloseHandle(set[i]), set[i] = nullptr;
    if (g_script.polled) CloseHandle(g_script.polled), g_script.polled = nullptr;
    if (g_script.mapping) CloseHandle(g_script.mapping), g_script.mapping = nullptr;
}

// Opens the test's block and events; tried again at every call until it works,
// so the program may be started before the test is ready.
Shared* ScriptShm() {
    Shared* s = g_script.shm.load();
    if (s) return s;
    AcquireSRWLockExclusive(&g_script.lock);
    s = g_script.shm.load();
    if (!s) {
        const std::wstring& name = g_cfg.script;
        const DWORD ev = SYNCHRONIZE | EVENT_MODIFY_STATE;
        bool ok = true;
        g_script.mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, MappingName(name).c_str());
        ok = g_script.mapping != nullptr;
        for (int i = 0; ok && i < kFnCount; ++i) {
            ok = (g_script.entered[i] = OpenEventW(ev, FALSE, EventName(name, kEvEntered, i).c_str())) &&
                 (g_script.released[i] = OpenEventW(ev, FALSE, EventName(name, kEvReleased, i).c_str())) &&
                 (g_script.exited[i] = OpenEventW(ev, FALSE, EventName(name, kEvExited, i).c_str()));
        }
        if (ok) ok = (g_script.polled = OpenEventW(ev, FALSE, EventName(name, kEvPolled).c_str())) != nullptr;
        Shared* view = nullptr;
        if (ok) {
            view = static_cast<Shared*>(
                MapViewOfFile(g_script.mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
            ok = view && view->magic == kMagic && view->version == kVersion &&
                 view->size == LONG(sizeof(Shared));
            if (!ok && view) UnmapViewOfFile(view);
        }
        if (ok) {
            InterlockedExchange(&view->dllProcessId, LONG(GetCurrentProcessId()));
            g_script.shm = s = view;
            WriteLine(Format("script %s attached", Narrow(name).c_str()));
        } else {
            CloseScript();
            if (!g_script.reportedMissing) {
                g_script.reportedMissing = true;
                WriteLine(Format("error script %s not found or not usable; calls fail until it is",
                                 Narrow(name).c_str()));
            }
        }
    }
    ReleaseSRWLockExclusive(&g_script.lock);
    return s;
}

std::wstring BytesPath(Shared* s) {
    if (s && s->bytesPath[0]) {
        wchar_t buf[kPathChars];
        memcpy(buf, const_cast<const wchar_t*>(s->bytesPath), sizeof buf);
        buf[kPathChars - 1] = 0;
        return buf;
    }
    return g_cfg.bytes;
}

// Records the entry, lets the test see it and waits for its release.
// Returns the test's result (0 when the test never released it).
uint32_t ScriptedWait(Shared* s, int fn, const uint32_t args[4], Check check) {
    CallSlot& c = s->calls[fn];
    for (int i = 0; i < 4; ++i) c.args[i] = LONG(args[i]);
    c.threadId = LONG(GetCurrentThreadId());
    c.pollsDuring = 0;
    for (auto& p : c.pollers) p = 0;
    c.pollerCount = 0;
    c.check = check;
    c.checkAtExit = kCheckNone;
    InterlockedExchange(&c.active, 1);
    InterlockedIncrement(&c.entered);
    SetEvent(g_script.entered[fn]);

    if (InterlockedCompareExchange(&c.autoRelease, 0, 0)) return uint32_t(c.autoResult);
    // Calls of one function are serialised, so this thread alone moves `taken`.
    const LONG want = c.taken + 1;
    uint64_t deadline = NowMs() + g_cfg.scriptTimeoutMs;
    while (InterlockedCompareExchange(&c.released, 0, 0) - want < 0) {
        uint64_t now = NowMs();
        if (now >= deadline) {
            InterlockedIncrement(&s->timeouts);
            WriteLine(
                Format("error %s not released within %u ms; returning 0", FnName(fn), g_cfg.scriptTimeoutMs));
            return 0;
        }
        WaitForSingleObject(g_script.released[fn], DWORD(deadline - now));
    }
    InterlockedExchange(&c.taken, want);
    return uint32_t(c.results[(want - 1) % kResultRing]);
}

void ScriptedExit(Shared* s, int fn, uint32_t result) {
    CallSlot& c = s->calls[fn];
    c.lastResult = LONG(result);
    InterlockedExchange(&c.active, 0);
    InterlockedIncrement(&c.exited);
    SetEvent(g_script.exited[fn]);
}

}  // namespace fwlsim

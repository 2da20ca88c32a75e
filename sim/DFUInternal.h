// What the parts of the simulated DFU.dll share: its settings, its log and the
// scripted mode's link to the test (DFUSettings.cpp, DFUScript.cpp), used by
// the entry points in DFU.cpp.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "SimShared.h"

namespace fwlsim {

inline uint64_t NowMs() {
    return GetTickCount64();
}

// ---- settings ---------------------------------------------------------------

struct Config {
    uint32_t searchMs = 1500;
    uint32_t rate = 20 * 1024;  // bytes per second; 0: no limit
    uint64_t capacity = 64ull << 20;
    bool failIsp = false, failDownload = false, failAp = false;
    std::wstring log, bytes, script;
    uint32_t scriptTimeoutMs = 60000;
    std::string notes;  // settings that could not be read
};

extern Config g_cfg;

std::string Narrow(const std::wstring& w);
void ReadConfig();

// ---- log ----------------------------------------------------------------------

extern HANDLE g_log;

void WriteLine(const std::string& line, bool mayBlock = true);
std::string Format(const char* fmt, ...);

// ---- scripted mode ---------------------------------------------------------------

struct Script {
    SRWLOCK lock = SRWLOCK_INIT;
    std::atomic<Shared*> shm{nullptr};
    HANDLE mapping = nullptr;
    HANDLE entered[kFnCount] = {};
    HANDLE released[kFnCount] = {};
    HANDLE exited[kFnCount] = {};
    HANDLE polled = nullptr;
    bool reportedMissing = false;
};
extern Script g_script;

bool Scripted();
void CloseScript();
Shared* ScriptShm();
std::wstring BytesPath(Shared* s);
uint32_t ScriptedWait(Shared* s, int fn, const uint32_t args[4], Check check);
void ScriptedExit(Shared* s, int fn, uint32_t result);

}  // namespace fwlsim

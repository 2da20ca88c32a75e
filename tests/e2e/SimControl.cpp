#include "SimControl.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwctype>

#include "../../sim/SimShared.h"

using namespace fwlsim;

namespace {

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += (c < 128) ? char(c) : '?';
    return s;
}

LONG Load(const volatile LONG& v) {
    return InterlockedCompareExchange(const_cast<LONG*>(&v), 0, 0);
}

// Signed distance, so that counters may wrap.
bool Reached(LONG value, LONG target) {
    return value - target >= 0;
}

}  // namespace

SimControl::SimControl(const std::wstring& name) : name_(name) {
    for (wchar_t c : name)
        if (!(iswalnum(c) || c == L'-' || c == L'_'))
            throw Error("SimControl: bad name '" + Narrow(name) + "'");
    if (name.empty()) throw Error("SimControl: empty name");

    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Shared),
                                  MappingName(name).c_str());
    DWORD err = GetLastError();
    if (!mapping_) throw Error("SimControl: cannot create shared memory for " + Narrow(name));
    if (err == ERROR_ALREADY_EXISTS) {
        Close();
        throw Error("SimControl: '" + Narrow(name) +
                    "' is in use (a program from an earlier test still running?)");
    }
    shm_ = static_cast<Shared*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
    if (!shm_) {
        Close();
        throw Error("SimControl: cannot map shared memory for " + Narrow(name));
    }
    memset(shm_, 0, sizeof(Shared));
    shm_->reading = 255;
    for (int i = 0; i < kFnCount; ++i) {
        entered_[i] = CreateEventW(nullptr, FALSE, FALSE, EventName(name, kEvEntered, i).c_str());
        released_[i] = CreateEventW(nullptr, FALSE, FALSE, EventName(name, kEvReleased, i).c_str());
        exited_[i] = CreateEventW(nullptr, FALSE, FALSE, EventName(name, kEvExited, i).c_str());
    }
    polled_ = CreateEventW(nullptr, FALSE, FALSE, EventName(name, kEvPolled).c_str());
    bool ok = polled_ != nullptr;
    for (int i = 0; i < kFnCount; ++i) ok = ok && entered_[i] && released_[i] && exited_[i];
    if (!ok) {
        Close();
        throw Error("SimControl: cannot create events for " + Narrow(name));
    }
    shm_->size = sizeof(Shared);
    shm_->version = kVersion;
    // Last: the DLL accepts the block only once it is complete.
    InterlockedExchange(&shm_->magic, kMagic);
}

SimControl::~SimControl() {
    Close();
}

void SimControl::Close() {
    for (void** set : {entered_, released_, exited_})
        for (int i = 0; i < kFnCount; ++i)
            if (set[i]) CloseHandle(set[i]), set[i] = nullptr;
    if (polled_) CloseHandle(polled_), polled_ = nullptr;
    if (shm_) UnmapViewOfFile(shm_), shm_ = nullptr;
    if (mapping_) CloseHandle(mapping_), mapping_ = nullptr;
}

std::wstring SimControl::EnvAssignment() const {
    return L"FWL_DFU_SCRIPT=" + name_;
}

void SimControl::SetReading(uint32_t n) {
    InterlockedExchange(&shm_->reading, LONG(n));
}
uint32_t SimControl::Reading() const {
    return uint32_t(Load(shm_->reading));
}
uint32_t SimControl::PollCount() const {
    return uint32_t(Load(shm_->polls));
}
uint32_t SimControl::LastPollThread() const {
    return uint32_t(Load(shm_->lastPollThread));
}

bool SimControl::WaitFor(void* event, uint32_t timeoutMs, bool (*done)(const SimControl&, int, uint32_t),
                         int fn, uint32_t target) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done(*this, fn, target)) return true;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return done(*this, fn, target);
        WaitForSingleObject(event, DWORD(deadline - now));
    }
}

void SimControl::WaitPolls(uint32_t k, uint32_t timeoutMs) {
    const LONG target = LONG(PollCount() + k);
    InterlockedExchange(&shm_->pollTarget, target);
    InterlockedExchange(&shm_->pollWaiting, 1);
    bool ok = WaitFor(
        polled_, timeoutMs,
        [](const SimControl& s, int, uint32_t t) { return Reached(Load(s.shm_->polls), LONG(t)); }, 0,
        uint32_t(target));
    InterlockedExchange(&shm_->pollWaiting, 0);
    if (!ok)
        Timeout("waiting for " + std::to_string(k) + " more DFU_Get_ProcessCount calls (up to " +
                    std::to_string(uint32_t(target)) + ")",
                timeoutMs);
}

SimEntry SimControl::WaitEntered(SimFn fn, uint32_t timeoutMs) {
    const int f = int(fn);
    const uint32_t target = seenEntered_[f] + 1;
    bool ok = WaitFor(
        entered_[f], timeoutMs,
        [](const SimControl& s, int f, uint32_t t) {
            return Reached(Load(s.shm_->calls[f].entered), LONG(t));
        },
        f, target);
    if (!ok)
        Timeout(
            std::string("waiting for ") + FnName(f) + " to be entered (entry " + std::to_string(target) + ")",
            timeoutMs);
    const CallSlot& c = shm_->calls[f];
    SimEntry e;
    e.ticket = uint32_t(Load(c.entered));
    for (int i = 0; i < 4; ++i) e.args[i] = uint32_t(c.args[i]);
    e.threadId = uint32_t(c.threadId);
    seenEntered_[f] = target;
    return e;
}

void SimControl::Release(SimFn fn, uint32_t result) {
    CallSlot& c = shm_->calls[int(fn)];
    const LONG n = Load(c.released);
    if (n - Load(c.taken) >= kResultRing)
        throw Error(std::string("SimControl: too many releases of ") + FnName(int(fn)) +
                    " ahead of its calls");
    InterlockedExchange(&c.results[n % kResultRing], LONG(result));
    InterlockedIncrement(&c.released);
    SetEvent(released_[int(fn)]);
}

void SimControl::SetAutoRelease(SimFn fn, uint32_t result) {
    CallSlot& c = shm_->calls[int(fn)];
    InterlockedExchange(&c.autoResult, LONG(result));
    InterlockedExchange(&c.autoRelease, 1);
}

void SimControl::ClearAutoRelease(SimFn fn) {
    InterlockedExchange(&shm_->calls[int(fn)].autoRelease, 0);
}

uint32_t SimControl::WaitExited(SimFn fn, uint32_t timeoutMs) {
    const int f = int(fn);
    const uint32_t target = seenExited_[f] + 1;
    bool ok = WaitFor(
        exited_[f], timeoutMs,
        [](const SimControl& s, int f, uint32_t t) {
            return Reached(Load(s.shm_->calls[f].exited), LONG(t));
        },
        f, target);
    if (!ok)
        Timeout(
            std::string("waiting for ") + FnName(f) + " to return (return " + std::to_string(target) + ")",
            timeoutMs);
    seenExited_[f] = target;
    return uint32_t(Load(shm_->calls[f].lastResult));
}

uint32_t SimControl::Entered(SimFn fn) const {
    return uint32_t(Load(shm_->calls[int(fn)].entered));
}
uint32_t SimControl::Exited(SimFn fn) const {
    return uint32_t(Load(shm_->calls[int(fn)].exited));
}
bool SimControl::Inside(SimFn fn) const {
    return Load(shm_->calls[int(fn)].active) != 0;
}
uint32_t SimControl::PollsDuring(SimFn fn) const {
    return uint32_t(Load(shm_->calls[int(fn)].pollsDuring));
}

std::vector<uint32_t> SimControl::PollersDuring(SimFn fn) const {
    std::vector<uint32_t> v;
    for (const auto& p : shm_->calls[int(fn)].pollers) {
        LONG t = Load(p);
        if (t) v.push_back(uint32_t(t));
    }
    return v;
}

std::string SimControl::Check(SimFn fn) const {
    return CheckName(Load(shm_->calls[int(fn)].check));
}
std::string SimControl::CheckAtExit(SimFn fn) const {
    return CheckName(Load(shm_->calls[int(fn)].checkAtExit));
}

uint32_t SimControl::ReceivedCount() const {
    return uint32_t(Load(shm_->receivedCount));
}
uint32_t SimControl::ReceivedSum() const {
    return uint32_t(Load(shm_->receivedSum));
}

void SimControl::SetBytesFile(const std::wstring& path) {
    if (path.size() >= size_t(kPathChars)) throw Error("SimControl: bytes file path too long");
    wchar_t buf[kPathChars] = {};
    memcpy(buf, path.c_str(), path.size() * sizeof(wchar_t));
    memcpy(const_cast<wchar_t*>(shm_->bytesPath), buf, sizeof buf);
    MemoryBarrier();
}

uint32_t SimControl::MaxInside() const {
    return uint32_t(Load(shm_->maxInside));
}
uint32_t SimControl::Timeouts() const {
    return uint32_t(Load(shm_->timeouts));
}
uint32_t SimControl::DllProcessId() const {
    return uint32_t(Load(shm_->dllProcessId));
}

std::string SimControl::Describe() const {
    std::string s = "reading=" + std::to_string(Reading()) + " polls=" + std::to_string(PollCount()) +
                    " dll_pid=" + std::to_string(DllProcessId());
    for (int f = 0; f < kFnCount; ++f) {
        const CallSlot& c = shm_->calls[f];
        s += std::string(" ") + FnName(f) + "(entered=" + std::to_string(Load(c.entered)) +
             " released=" + std::to_string(Load(c.released)) + " taken=" + std::to_string(Load(c.taken)) +
             " exited=" + std::to_string(Load(c.exited)) + (Load(c.active) ? " inside" : "") +
             " check=" + CheckName(Load(c.check)) + ")";
    }
    s += " timeouts=" + std::to_string(Timeouts());
    return s;
}

void SimControl::Timeout(const std::string& what, uint32_t timeoutMs) const {
    throw Error("SimControl(" + Narrow(name_) + "): timed out after " + std::to_string(timeoutMs) + " ms " +
                what + "; " + Describe() +
                (DllProcessId() == 0 ? " [no DFU.dll has attached: is FWL_DFU_SCRIPT=" + Narrow(name_) +
                                           " in the program's environment?]"
                                     : ""));
}

// A simulated instrument behind the four entry points of DFU.dll.
//
// Default mode behaves like an instrument on a cable: after DFU_Reset_To_ISP
// the device is searched for a while (reading 255), DFU_Download sends the
// bytes at a limited rate and reports the percentage. Scripted mode
// (FWL_DFU_SCRIPT) hands every reading and every result to a test through
// named shared memory and events (SimShared.h). Settings come from the
// environment when the DLL is loaded; see README.md. The settings and the log
// are in DFUSettings.cpp, the scripted mode's side in DFUScript.cpp.
#define FWL_DFU_EXPORTS
#include "DFU.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "DFUInternal.h"

using namespace fwlsim;

namespace {

constexpr uint32_t kSearching = 255;
constexpr uint32_t kIspA = 3690, kIspB = 791;

uint64_t g_t0 = 0;

uint64_t SinceLoad() {
    return NowMs() - g_t0;
}

// ---- polls: per-thread counts for the log, and who polled during each call ----

struct PollThread {
    std::atomic<DWORD> tid{0};
    std::atomic<uint32_t> last{0};
    std::atomic<uint32_t> count{0};
};
constexpr int kPollThreads = 32;
PollThread g_pollThreads[kPollThreads];

PollThread* PollSlot(DWORD tid) {
    for (auto& s : g_pollThreads) {
        DWORD cur = s.tid.load();
        if (cur == tid) return &s;
        if (cur == 0) {
            DWORD expected = 0;
            if (s.tid.compare_exchange_strong(expected, tid) || expected == tid) return &s;
        }
    }
    return nullptr;
}

struct Active {
    std::atomic<int> on{0};
    std::atomic<uint32_t> polls{0};
    std::atomic<DWORD> pollers[kMaxPollers];
};
Active g_active[kFnCount];

void AddTid(std::atomic<DWORD>* set, DWORD tid) {
    for (int i = 0; i < kMaxPollers; ++i) {
        DWORD cur = set[i].load();
        if (cur == tid) return;
        if (cur == 0) {
            DWORD expected = 0;
            if (set[i].compare_exchange_strong(expected, tid) || expected == tid) return;
        }
    }
}

std::string PollersText(const Active& a) {
    std::string s;
    for (const auto& p : a.pollers) {
        DWORD t = p.load();
        if (!t) break;
        if (!s.empty()) s += ",";
        s += std::to_string(t);
    }
    return s.empty() ? "-" : s;
}

std::atomic<int> g_inside{0};
std::atomic<int> g_maxInside{0};
SRWLOCK g_fnLock[kFnCount] = {SRWLOCK_INIT, SRWLOCK_INIT, SRWLOCK_INIT};

// ---- the instrument's state (default mode) ----------------------------------

std::atomic<uint32_t> g_reading{kSearching};
std::atomic<uint64_t> g_searchEnd{0};  // tick at which the search succeeds; 0: none
SRWLOCK g_stateLock = SRWLOCK_INIT;    // orders changes of the two above
std::atomic<bool> g_loader{false};     // ISP succeeded, no AP since
std::atomic<bool> g_delivered{false};  // a download succeeded since the ISP

void SetReading(uint32_t r) {
    AcquireSRWLockExclusive(&g_stateLock);
    g_searchEnd = 0;
    g_reading = r;
    ReleaseSRWLockExclusive(&g_stateLock);
}

// Ends a search that is due; returns the reading.
uint32_t CurrentReading() {
    uint32_t r = g_reading.load();
    if (r != kSearching) return r;
    uint64_t end = g_searchEnd.load();
    if (end == 0 || NowMs() < end) return r;
    AcquireSRWLockExclusive(&g_stateLock);
    if (g_searchEnd.load() == end) {
        g_searchEnd = 0;
        g_reading = 0;
    }
    r = g_reading.load();
    ReleaseSRWLockExclusive(&g_stateLock);
    return r;
}

// ---- reading the caller's buffer --------------------------------------------

bool Readable(DWORD protect) {
    if (protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
    return (protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                       PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

// Copies n bytes, checking first that the memory is there: a buffer freed or
// unmapped under the transfer gives false instead of a crash.
bool ReadChecked(const uint8_t* src, size_t n, uint8_t* dst) {
    while (n > 0) {
        MEMORY_BASIC_INFORMATION mbi;
        if (VirtualQuery(src, &mbi, sizeof mbi) == 0) return false;
        if (mbi.State != MEM_COMMIT || !Readable(mbi.Protect)) return false;
        uintptr_t regionEnd = uintptr_t(mbi.BaseAddress) + mbi.RegionSize;
        size_t take = regionEnd - uintptr_t(src);
        if (take > n) take = n;
        memcpy(dst, src, take);
        src += take;
        dst += take;
        n -= take;
    }
    return true;
}

uint32_t Sum16(const uint8_t* p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i < n; ++i) sum += p[i];
    return sum & 0xFFFF;
}

void WriteBytesFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    if (path.empty()) return;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        WriteLine("error cannot create bytes file " + Narrow(path));
        return;
    }
    size_t off = 0;
    while (off < bytes.size()) {
        DWORD chunk = DWORD(bytes.size() - off > (1u << 20) ? (1u << 20) : bytes.size() - off);
        DWORD written = 0;
        if (!WriteFile(h, bytes.data() + off, chunk, &written, nullptr) || written == 0) break;
        off += written;
    }
    CloseHandle(h);
}

// Argument checks shared by both modes.
Check CheckDownloadArgs(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) {
    if (zero != 0) return kCheckBadZero;
    if (sum > 0xFFFF) return kCheckSumRange;
    if (count > g_cfg.capacity) return kCheckTooBig;
    if (!data && count) return kCheckNullData;
    return kCheckOk;
}

// ---- one call of ISP/Download/AP ------------------------------------------------

class Call {
public:
    // s: the test's block in scripted mode, else null.
    Call(int fn, Shared* s) : fn_(fn), s_(s), start_(SinceLoad()) {
        int in = ++g_inside;
        int max = g_maxInside.load();
        while (in > max && !g_maxInside.compare_exchange_weak(max, in)) {
        }
        if (s_) {
            InterlockedIncrement(&s_->inside);
            LONG m = s_->maxInside;
            while (in > m) {
                LONG seen = InterlockedCompareExchange(&s_->maxInside, in, m);
                if (seen == m) break;
                m = seen;
            }
        }
        AcquireSRWLockExclusive(&g_fnLock[fn]);
        Active& a = g_active[fn];
        a.polls = 0;
        for (auto& p : a.pollers) p = 0;
        a.on = 1;
    }
    // Writes the call's line, then lets the test see the return.
    uint32_t Finish(const std::string& callText, uint32_t result, const std::string& extra) {
        Active& a = g_active[fn_];
        a.on = 0;
        WriteLine(Format("%s = %u tid=%lu t=%llu-%llu polls=%u pollers=%s", callText.c_str(), result,
                         GetCurrentThreadId(), (unsigned long long)start_, (unsigned long long)SinceLoad(),
                         a.polls.load(), PollersText(a).c_str()) +
                  extra);
        if (s_) {
            InterlockedDecrement(&s_->inside);
            ScriptedExit(s_, fn_, result);
        }
        ReleaseSRWLockExclusive(&g_fnLock[fn_]);
        --g_inside;
        return result;
    }

private:
    int fn_;
    Shared* s_;
    uint64_t start_;
};

// Waits until the search that DFU_Reset_To_ISP began is over.
void AwaitSearch() {
    for (;;) {
        uint64_t end = g_searchEnd.load();
        uint64_t now = NowMs();
        if (end == 0 || now >= end) break;
        Sleep(DWORD(end - now > 50 ? 50 : end - now));
    }
    CurrentReading();
}

}  // namespace

// ---- entry points ------------------------------------------------------------------

extern "C" uint32_t __stdcall DFU_Reset_To_ISP(uint32_t a, uint32_t b) {
    Shared* s = Scripted() ? ScriptShm() : nullptr;
    Call call(kIsp, s);
    std::string text = Format("DFU_Reset_To_ISP(%u, %u)", a, b);
    Check check = (a == kIspA && b == kIspB) ? kCheckOk : kCheckBadId;
    if (Scripted()) {
        if (!s) return call.Finish(text, 0, " check=no-script");
        uint32_t args[4] = {a, b, 0, 0};
        uint32_t r = ScriptedWait(s, kIsp, args, check);
        g_loader = r != 0;
        g_delivered = false;
        s->calls[kIsp].checkAtExit = check;
        return call.Finish(text, r, std::string(" check=") + CheckName(check));
    }
    if (check == kCheckOk && g_cfg.failIsp) check = kCheckInjected;
    // The search starts anew; a device that does not answer is searched for forever.
    AcquireSRWLockExclusive(&g_stateLock);
    g_reading = kSearching;
    g_searchEnd = check == kCheckOk ? NowMs() + g_cfg.searchMs : 0;
    ReleaseSRWLockExclusive(&g_stateLock);
    g_loader = check == kCheckOk;
    g_delivered = false;
    return call.Finish(text, check == kCheckOk, std::string(" check=") + CheckName(check));
}

extern "C" uint32_t __stdcall DFU_Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) {
    Shared* s = Scripted() ? ScriptShm() : nullptr;
    Call call(kDownload, s);
    std::string text =
        Format("DFU_Download(0x%08lX, %u, %u, %u)", (unsigned long)uintptr_t(data), zero, count, sum);
    Check check = g_loader ? CheckDownloadArgs(data, zero, count, sum) : kCheckNoIsp;
    std::vector<uint8_t> got;

    if (Scripted()) {
        if (!s) return call.Finish(text, 0, " check=no-script");
        // The bytes are read before the test sees the entry, and again when it
        // releases the call: a buffer changed or freed meanwhile shows.
        bool read = false;
        if (check == kCheckOk || check == kCheckNoIsp) {
            Check argCheck = CheckDownloadArgs(data, zero, count, sum);
            if (argCheck == kCheckOk) {
                got.resize(count);
                read = ReadChecked(data, count, got.data());
                if (!read) got.clear();
                if (check == kCheckOk)
                    check = !read                                  ? kCheckUnreadable
                            : Sum16(got.data(), got.size()) != sum ? kCheckSumMismatch
                                                                   : kCheckOk;
            }
        }
        s->receivedCount = LONG(got.size());
        s->receivedSum = LONG(Sum16(got.data(), got.size()));
        WriteBytesFile(BytesPath(s), got);
        uint32_t args[4] = {uint32_t(uintptr_t(data)), zero, count, sum};
        uint32_t r = ScriptedWait(s, kDownload, args, check);
        Check atExit = check;
        if (read) {
            std::vector<uint8_t> again(count);
            if (!ReadChecked(data, count, again.data()))
                atExit = kCheckUnreadable;
            else if (again != got)
                atExit = kCheckChanged;
        }
        s->calls[kDownload].checkAtExit = atExit;
        g_delivered = r != 0;
        return call.Finish(text, r, Format(" check=%s entry_check=%s", CheckName(atExit), CheckName(check)));
    }

    if (check == kCheckOk) {
        AwaitSearch();
        SetReading(0);
        got.resize(count);
        // Paced by the rate: the bytes are read as they go, as a device would.
        const uint32_t chunk = g_cfg.rate == 0                 ? (1u << 16)
                               : g_cfg.rate / 100 < 64         ? 64
                               : g_cfg.rate / 100 > (1u << 16) ? (1u << 16)
                                                               : g_cfg.rate / 100;
        const uint64_t t0 = NowMs();
        const uint32_t stopAt = g_cfg.failDownload ? count / 2 : count;
        uint32_t sent = 0, running = 0;
        while (sent < stopAt) {
            uint32_t n = stopAt - sent < chunk ? stopAt - sent : chunk;
            if (!ReadChecked(data + sent, n, got.data() + sent)) {
                check = kCheckUnreadable;
                break;
            }
            running = Sum16(got.data() + sent, n, running);
            sent += n;
            if (g_cfg.rate) {
                uint64_t due = t0 + uint64_t(sent) * 1000 / g_cfg.rate;
                uint64_t now = NowMs();
                if (due > now) Sleep(DWORD(due - now));
            }
            SetReading(uint32_t(uint64_t(sent) * 100 / count));
        }
        got.resize(sent);
        if (check == kCheckOk) {
            if (g_cfg.failDownload)
                check = kCheckInjected;
            else if (running != sum)
                check = kCheckSumMismatch;
        }
        if (count == 0 && check == kCheckOk) SetReading(100);
        WriteBytesFile(g_cfg.bytes, got);
    }
    g_delivered = check == kCheckOk;
    return call.Finish(text, check == kCheckOk, std::string(" check=") + CheckName(check));
}

extern "C" uint32_t __stdcall DFU_Reset_To_AP() {
    Shared* s = Scripted() ? ScriptShm() : nullptr;
    Call call(kAp, s);
    const std::string text = "DFU_Reset_To_AP()";
    Check check = g_delivered ? kCheckOk : kCheckNoDownload;
    if (Scripted()) {
        if (!s) return call.Finish(text, 0, " check=no-script");
        uint32_t args[4] = {0, 0, 0, 0};
        uint32_t r = ScriptedWait(s, kAp, args, check);
        if (r) g_loader = g_delivered = false;
        s->calls[kAp].checkAtExit = check;
        return call.Finish(text, r, std::string(" check=") + CheckName(check));
    }
    if (check == kCheckOk && g_cfg.failAp) check = kCheckInjected;
    if (check == kCheckOk) g_loader = g_delivered = false;
    return call.Finish(text, check == kCheckOk, std::string(" check=") + CheckName(check));
}

extern "C" uint32_t __stdcall DFU_Get_ProcessCount() {
    const DWORD tid = GetCurrentThreadId();
    uint32_t r;
    Shared* s = nullptr;
    if (Scripted() && (s = ScriptShm()) != nullptr) {
        // Counted before the reading is taken: a poll counted after the test set
        // a reading returns that reading.
        LONG n = InterlockedIncrement(&s->polls);
        s->lastPollThread = LONG(tid);
        for (auto& c : s->calls) {
            if (!c.active) continue;
            InterlockedIncrement(&c.pollsDuring);
            for (int i = 0; i < kMaxPollers; ++i) {
                LONG prev = InterlockedCompareExchange(&c.pollers[i], LONG(tid), 0);
                if (prev == 0) InterlockedIncrement(&c.pollerCount);
                if (prev == 0 || prev == LONG(tid)) break;
            }
        }
        r = uint32_t(InterlockedCompareExchange(&s->reading, 0, 0));
        if (s->pollWaiting && n - s->pollTarget >= 0) SetEvent(g_script.polled);
    } else {
        r = Scripted() ? kSearching : CurrentReading();
    }
    for (auto& a : g_active) {
        if (!a.on) continue;
        ++a.polls;
        AddTid(a.pollers, tid);
    }
    if (PollThread* p = PollSlot(tid)) {
        uint32_t k = ++p->count;
        if (k == 1 || p->last.load() != r) {
            p->last = r;
            WriteLine(Format("DFU_Get_ProcessCount() = %u tid=%lu n=%u t=%llu", r, tid, k,
                             (unsigned long long)SinceLoad()));
        }
    }
    return r;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        g_t0 = NowMs();
        ReadConfig();
        if (!g_cfg.log.empty())
            g_log = CreateFileW(g_cfg.log.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        std::string fail = g_cfg.failIsp || g_cfg.failDownload || g_cfg.failAp
                               ? std::string(g_cfg.failIsp ? "isp," : "") +
                                     (g_cfg.failDownload ? "download," : "") + (g_cfg.failAp ? "ap," : "")
                               : std::string("none,");
        fail.pop_back();
        WriteLine(Format("load pid=%lu mode=%s%s search_ms=%u rate=%u capacity=%llu fail=%s",
                         GetCurrentProcessId(), Scripted() ? "script:" : "default",
                         Narrow(g_cfg.script).c_str(), g_cfg.searchMs, g_cfg.rate,
                         (unsigned long long)g_cfg.capacity, fail.c_str()) +
                  g_cfg.notes);
    } else if (reason == DLL_PROCESS_DETACH) {
        const bool exiting = reserved != nullptr;
        for (auto& p : g_pollThreads) {
            if (!p.tid.load()) break;
            WriteLine(Format("polls tid=%lu n=%u last=%u", p.tid.load(), p.count.load(), p.last.load()),
                      !exiting);
        }
        WriteLine(Format("unload max_inside=%d", g_maxInside.load()), !exiting);
        if (!exiting) CloseScript();
        if (g_log != INVALID_HANDLE_VALUE) CloseHandle(g_log);
    }
    return TRUE;
}

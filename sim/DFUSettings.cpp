// The simulated instrument's settings, read from the environment when the DLL
// is loaded, and its log.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "DFUInternal.h"

namespace fwlsim {

Config g_cfg;

// ---- settings ---------------------------------------------------------------

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += (c < 128) ? char(c) : '?';
    return s;
}

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buf[1024];
    DWORD n = GetEnvironmentVariableW(name, buf, 1024);
    if (n == 0 || n >= 1024) return {};
    return std::wstring(buf, n);
}

// Decimal number with an optional K, M or G (binary) suffix.
bool ParseSize(const std::wstring& s, uint64_t max, uint64_t& out) {
    if (s.empty()) return false;
    uint64_t v = 0;
    size_t i = 0;
    for (; i < s.size() && s[i] >= L'0' && s[i] <= L'9'; ++i) {
        v = v * 10 + (s[i] - L'0');
        if (v > max) return false;
    }
    if (i == 0) return false;
    if (i + 1 == s.size()) {
        int shift = 0;
        switch (s[i]) {
        case L'k':
        case L'K':
            shift = 10;
            break;
        case L'm':
        case L'M':
            shift = 20;
            break;
        case L'g':
        case L'G':
            shift = 30;
            break;
        default:
            return false;
        }
        if (v > (max >> shift)) return false;
        v <<= shift;
    } else if (i != s.size()) {
        return false;
    }
    out = v;
    return true;
}

template <class T>
void ReadSize(const wchar_t* name, uint64_t max, T& field) {
    std::wstring s = Env(name);
    if (s.empty()) return;
    uint64_t v;
    if (ParseSize(s, max, v))
        field = T(v);
    else
        g_cfg.notes += " bad " + Narrow(name) + "=" + Narrow(s);
}

}  // namespace

void ReadConfig() {
    ReadSize(L"FWL_DFU_SEARCH_MS", 3600000, g_cfg.searchMs);
    ReadSize(L"FWL_DFU_RATE", 0xFFFFFFFFull, g_cfg.rate);
    ReadSize(L"FWL_DFU_CAPACITY", 0x100000000ull, g_cfg.capacity);
    ReadSize(L"FWL_DFU_SCRIPT_TIMEOUT_MS", 3600000, g_cfg.scriptTimeoutMs);
    std::wstring fail = Env(L"FWL_DFU_FAIL");
    size_t pos = 0;
    while (pos <= fail.size() && !fail.empty()) {
        size_t end = fail.find(L',', pos);
        if (end == std::wstring::npos) end = fail.size();
        std::wstring step = fail.substr(pos, end - pos);
        if (step == L"isp")
            g_cfg.failIsp = true;
        else if (step == L"download")
            g_cfg.failDownload = true;
        else if (step == L"ap")
            g_cfg.failAp = true;
        else if (!step.empty() && step != L"none")
            g_cfg.notes += " bad FWL_DFU_FAIL step " + Narrow(step);
        pos = end + 1;
    }
    g_cfg.log = Env(L"FWL_DFU_LOG");
    g_cfg.bytes = Env(L"FWL_DFU_BYTES");
    g_cfg.script = Env(L"FWL_DFU_SCRIPT");
}

// ---- log ----------------------------------------------------------------------

HANDLE g_log = INVALID_HANDLE_VALUE;

namespace {
SRWLOCK g_logLock = SRWLOCK_INIT;
}  // namespace

void WriteLine(const std::string& line, bool mayBlock) {
    if (g_log == INVALID_HANDLE_VALUE) return;
    // At process exit another thread may have died holding the lock.
    if (mayBlock)
        AcquireSRWLockExclusive(&g_logLock);
    else if (!TryAcquireSRWLockExclusive(&g_logLock))
        return;
    std::string s = line + "\n";
    DWORD written;
    WriteFile(g_log, s.data(), DWORD(s.size()), &written, nullptr);
    ReleaseSRWLockExclusive(&g_logLock);
}

std::string Format(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return {};
    return std::string(buf, size_t(n) < sizeof buf ? size_t(n) : sizeof buf - 1);
}

}  // namespace fwlsim

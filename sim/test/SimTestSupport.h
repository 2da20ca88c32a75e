// What the tests of the simulated instrument share: fresh copies of DFU.dll
// with their own settings, a poller thread, and reading the DLL's log.
#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;
using Env = std::map<std::wstring, std::wstring>;

inline uint32_t Sum16(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t x : b) s += x;
    return s & 0xFFFF;
}

inline Bytes Pattern(size_t n, uint32_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return b;
}

inline std::wstring ExeDir() {
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    std::wstring p(buf, n);
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

inline std::string ReadAll(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string s;
    char buf[65536];
    DWORD got;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got) s.append(buf, got);
    CloseHandle(h);
    return s;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) v.push_back(line);
    return v;
}

inline std::vector<std::string> LinesStarting(const std::wstring& log, const std::string& prefix) {
    std::vector<std::string> v;
    for (auto& l : Lines(ReadAll(log)))
        if (l.rfind(prefix, 0) == 0) v.push_back(l);
    return v;
}

// Value of "key=" in a log line ("" when absent).
inline std::string Token(const std::string& line, const std::string& key) {
    size_t p = line.find(" " + key + "=");
    if (p == std::string::npos) return {};
    p += key.size() + 2;
    return line.substr(p, line.find(' ', p) - p);
}

// A folder of its own for one test, removed afterwards.
class TempDir {
public:
    TempDir() {
        static std::atomic<int> counter{0};
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"fwl-sim-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter) + L"\\";
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempDir() {
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW((path_ + L"*").c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            do DeleteFileW((path_ + fd.cFileName).c_str());
            while (FindNextFileW(h, &fd));
            FindClose(h);
        }
        RemoveDirectoryW(path_.c_str());
    }
    std::wstring operator/(const std::wstring& name) const { return path_ + name; }

private:
    std::wstring path_;
};

// A fresh copy of DFU.dll, loaded with the given settings in the environment,
// so that each test starts from an instrument that has seen no call.
class Instrument {
public:
    Instrument(const TempDir& dir, const Env& env) {
        static std::atomic<int> counter{0};
        file_ = dir / (L"DFU-" + std::to_wstring(++counter) + L".dll");
        if (!CopyFileW((ExeDir() + L"DFU.dll").c_str(), file_.c_str(), FALSE))
            throw std::runtime_error("cannot copy DFU.dll");
        std::map<std::wstring, std::wstring> saved;
        std::vector<std::wstring> unset;
        for (auto& [k, v] : env) {
            wchar_t buf[1024];
            DWORD n = GetEnvironmentVariableW(k.c_str(), buf, 1024);
            if (n)
                saved[k] = std::wstring(buf, n);
            else
                unset.push_back(k);
            SetEnvironmentVariableW(k.c_str(), v.c_str());
        }
        module_ = LoadLibraryW(file_.c_str());
        for (auto& [k, v] : saved) SetEnvironmentVariableW(k.c_str(), v.c_str());
        for (auto& k : unset) SetEnvironmentVariableW(k.c_str(), nullptr);
        if (!module_) throw std::runtime_error("cannot load the copy of DFU.dll");
        Isp = Get<decltype(Isp)>("DFU_Reset_To_ISP");
        Download = Get<decltype(Download)>("DFU_Download");
        Ap = Get<decltype(Ap)>("DFU_Reset_To_AP");
        Count = Get<decltype(Count)>("DFU_Get_ProcessCount");
    }
    ~Instrument() { Unload(); }
    // Unloading writes the last log lines.
    void Unload() {
        if (module_) FreeLibrary(module_), module_ = nullptr, DeleteFileW(file_.c_str());
    }

    uint32_t(__stdcall* Isp)(uint32_t, uint32_t) = nullptr;
    uint32_t(__stdcall* Download)(const uint8_t*, uint32_t, uint32_t, uint32_t) = nullptr;
    uint32_t(__stdcall* Ap)() = nullptr;
    uint32_t(__stdcall* Count)() = nullptr;

private:
    template <class F>
    F Get(const char* name) {
        auto p = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
        if (!p) throw std::runtime_error(std::string("DFU.dll lacks ") + name);
        return p;
    }
    std::wstring file_;
    HMODULE module_ = nullptr;
};

// Calls DFU_Get_ProcessCount over and over on a thread of its own, as the
// window's polling loop does, until stopped.
class Poller {
public:
    explicit Poller(uint32_t(__stdcall* count)(), bool keepHistory = false)
        : thread_([this, count, keepHistory] {
              tid_ = GetCurrentThreadId();
              while (!stop_) {
                  uint32_t r = count();
                  last_ = r;
                  ++passes_;
                  if (keepHistory && (history_.empty() || history_.back() != r)) history_.push_back(r);
              }
          }) {}
    ~Poller() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    uint32_t Tid() const {
        while (!tid_) std::this_thread::yield();
        return tid_;
    }
    uint32_t Last() const { return last_; }
    const std::vector<uint32_t>& History() const { return history_; }  // after Stop

private:
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> tid_{0}, last_{0xFFFFFFFF}, passes_{0};
    std::vector<uint32_t> history_;
    std::thread thread_;
};

}  // namespace simtest

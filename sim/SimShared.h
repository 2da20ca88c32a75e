// The block of named shared memory through which a test drives the simulated
// instrument in scripted mode (FWL_DFU_SCRIPT=<name>). The test creates the
// block and its events (tests/e2e/SimControl), the DLL opens them. Both sides
// are 32-bit; every field is a LONG touched with Interlocked* or volatile
// accesses, so the block works across processes of one Wine prefix.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace fwlsim {

enum Fn : int { kIsp = 0, kDownload = 1, kAp = 2, kFnCount = 3 };

inline const char* FnName(int fn) {
    switch (fn) {
    case kIsp:
        return "DFU_Reset_To_ISP";
    case kDownload:
        return "DFU_Download";
    case kAp:
        return "DFU_Reset_To_AP";
    }
    return "?";
}

// The simulator's verdict on a call. For DFU_Download it covers the arguments
// and the bytes it read; in scripted mode it is recorded, and the test's
// result is returned regardless.
enum Check : LONG {
    kCheckNone = 0,  // no call yet
    kCheckOk = 1,
    kCheckBadId = 2,         // DFU_Reset_To_ISP with other than 3690, 791
    kCheckNoIsp = 3,         // DFU_Download outside loader mode
    kCheckNoDownload = 4,    // DFU_Reset_To_AP without a delivered image
    kCheckBadZero = 5,       // second argument of DFU_Download not 0
    kCheckSumRange = 6,      // sum argument 65536 or more
    kCheckTooBig = 7,        // count larger than the flash
    kCheckNullData = 8,      // null data with a nonzero count
    kCheckUnreadable = 9,    // part of the buffer is not readable memory
    kCheckSumMismatch = 10,  // 16-bit sum of the bytes differs from the argument
    kCheckChanged = 11,      // the buffer changed while the call ran
    kCheckInjected = 12,     // failure asked for by FWL_DFU_FAIL
};

inline const char* CheckName(LONG c) {
    switch (c) {
    case kCheckNone:
        return "none";
    case kCheckOk:
        return "ok";
    case kCheckBadId:
        return "bad-id";
    case kCheckNoIsp:
        return "no-isp";
    case kCheckNoDownload:
        return "no-download";
    case kCheckBadZero:
        return "bad-zero";
    case kCheckSumRange:
        return "sum-range";
    case kCheckTooBig:
        return "too-big";
    case kCheckNullData:
        return "null-data";
    case kCheckUnreadable:
        return "unreadable";
    case kCheckSumMismatch:
        return "sum-mismatch";
    case kCheckChanged:
        return "changed";
    case kCheckInjected:
        return "injected";
    }
    return "?";
}

constexpr LONG kMagic = 0x534C5746;  // "FWLS"
constexpr LONG kVersion = 1;
constexpr int kMaxPollers = 8;
constexpr int kResultRing = 16;
constexpr int kPathChars = 520;

struct CallSlot {
    volatile LONG entered;               // entries so far; the n-th entry has ticket n
    volatile LONG released;              // releases given by the test so far
    volatile LONG taken;                 // releases used by calls so far; release n is used by the
                                         // n-th call that waited (calls on autoRelease use none)
    volatile LONG exited;                // returns so far
    volatile LONG results[kResultRing];  // result of release n at (n-1) % kResultRing
    volatile LONG autoRelease;           // nonzero: calls go on at once with autoResult
    volatile LONG autoResult;
    // Of the latest entry:
    volatile LONG args[4];
    volatile LONG threadId;
    volatile LONG active;       // 1 while the call is inside the DLL
    volatile LONG pollsDuring;  // DFU_Get_ProcessCount calls while it was inside
    volatile LONG pollerCount;  // distinct threads that polled meanwhile (first kMaxPollers kept)
    volatile LONG pollers[kMaxPollers];
    volatile LONG check;        // Check on entry
    volatile LONG checkAtExit;  // Check when it returned (DFU_Download: bytes read again)
    volatile LONG lastResult;   // result of the latest return
};

struct Shared {
    LONG magic;
    LONG version;
    LONG size;
    volatile LONG dllProcessId;  // process whose DLL opened the block last
    volatile LONG reading;       // what DFU_Get_ProcessCount returns
    volatile LONG polls;         // DFU_Get_ProcessCount calls so far
    volatile LONG lastPollThread;
    volatile LONG pollWaiting;  // the test waits for polls to reach pollTarget
    volatile LONG pollTarget;
    volatile LONG inside;  // ISP/Download/AP calls inside the DLL now
    volatile LONG maxInside;
    volatile LONG timeouts;       // calls the DLL gave up waiting for (returned 0)
    volatile LONG receivedCount;  // bytes read by the latest DFU_Download
    volatile LONG receivedSum;    // their 16-bit sum
    CallSlot calls[kFnCount];
    wchar_t bytesPath[kPathChars];  // where DFU_Download writes the bytes; "" = FWL_DFU_BYTES
};

// Kernel object names for a script name.
inline std::wstring MappingName(const std::wstring& name) {
    return L"Local\\fwl-dfu-sim-" + name;
}
inline std::wstring EventName(const std::wstring& name, const wchar_t* what, int fn = -1) {
    std::wstring s = L"Local\\fwl-dfu-sim-" + name + L"-" + what;
    if (fn >= 0) s += L"-" + std::to_wstring(fn);
    return s;
}
constexpr const wchar_t* kEvEntered = L"entered";
constexpr const wchar_t* kEvReleased = L"released";
constexpr const wchar_t* kEvExited = L"exited";
constexpr const wchar_t* kEvPolled = L"polled";

}  // namespace fwlsim

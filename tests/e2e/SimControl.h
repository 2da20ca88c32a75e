// Test side of the simulated instrument's scripted mode.
//
// Create a SimControl with a name before the program starts, and start the
// program with FWL_DFU_SCRIPT=<name> in its environment (EnvAssignment()).
// Its DFU.dll then
//   - returns Reading() from every DFU_Get_ProcessCount and counts the calls;
//   - on entry to DFU_Reset_To_ISP, DFU_Download or DFU_Reset_To_AP records
//     the arguments and the thread, and blocks until Release() gives the
//     result to return (unless SetAutoRelease() is in force).
// Every wait has a time limit and throws SimControl::Error with the state of
// the simulator when it runs out. One object serves one test thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace fwlsim {
struct Shared;
}  // namespace fwlsim

enum class SimFn { Isp = 0, Download = 1, Ap = 2 };

// One entry into ISP/Download/AP as the DLL recorded it.
struct SimEntry {
    // ISP: 3690, 791, 0, 0. Download: data address, zero, count, sum. AP: zeros.
    uint32_t args[4] = {};
    uint32_t threadId = 0;
    uint32_t ticket = 0;  // 1 for the first entry of this function, 2 for the next...
};

class SimControl {
public:
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Creates the shared block and events for name (letters, digits, '-', '_').
    // The reading starts at 255. Throws if the name is in use by a live process.
    explicit SimControl(const std::wstring& name);
    ~SimControl();
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;

    const std::wstring& Name() const { return name_; }
    // L"FWL_DFU_SCRIPT=<name>", for the program's environment block.
    std::wstring EnvAssignment() const;

    // ---- readings ----
    void SetReading(uint32_t n);
    uint32_t Reading() const;
    uint32_t PollCount() const;  // DFU_Get_ProcessCount calls so far
    uint32_t LastPollThread() const;
    // Waits for k more DFU_Get_ProcessCount calls than when called. A poll
    // counted after SetReading returns the new reading, so after SetReading(n),
    // WaitPolls(1) means n has been returned at least once and WaitPolls(2)
    // means the program has begun another poll after it (its pass on n is over).
    void WaitPolls(uint32_t k, uint32_t timeoutMs);

    // ---- calls ----
    // Waits for the next entry of fn not yet returned by WaitEntered on this
    // object. The call stays blocked until Release(fn, ...).
    SimEntry WaitEntered(SimFn fn, uint32_t timeoutMs);
    // Gives the result for the call of fn that waits now, or else for the next
    // one to wait (releases queue up, 16 at most). Calls under SetAutoRelease
    // take none.
    void Release(SimFn fn, uint32_t result);
    // From now on calls of fn do not block and return result; still recorded.
    void SetAutoRelease(SimFn fn, uint32_t result);
    void ClearAutoRelease(SimFn fn);
    // Waits for the next return of fn not yet seen by WaitExited on this object;
    // gives the result it returned. The DLL's log line of the call is written
    // before the return is signalled.
    uint32_t WaitExited(SimFn fn, uint32_t timeoutMs);

    uint32_t Entered(SimFn fn) const;  // entries so far
    uint32_t Exited(SimFn fn) const;   // returns so far
    bool Inside(SimFn fn) const;       // a call of fn is inside the DLL now
    // Of the latest call of fn: how often DFU_Get_ProcessCount was called while
    // it was inside, and by which threads (first 8 distinct).
    uint32_t PollsDuring(SimFn fn) const;
    std::vector<uint32_t> PollersDuring(SimFn fn) const;
    // The DLL's verdict on the latest call of fn: "ok", "bad-id", "no-isp",
    // "no-download", "bad-zero", "sum-range", "too-big", "null-data",
    // "unreadable", "sum-mismatch", "changed" ("none" before the first).
    // Check() is taken on entry; CheckAtExit() when the call returned (for
    // DFU_Download the bytes are read again then: "changed"/"unreadable" if the
    // buffer did not stay as it was).
    std::string Check(SimFn fn) const;
    std::string CheckAtExit(SimFn fn) const;

    // ---- what DFU_Download received (latest call) ----
    uint32_t ReceivedCount() const;
    uint32_t ReceivedSum() const;
    // The DLL writes the bytes of each DFU_Download to path before the entry is
    // signalled (overwriting it); empty: FWL_DFU_BYTES of the program, if any.
    void SetBytesFile(const std::wstring& path);

    // ---- diagnostics ----
    uint32_t MaxInside() const;     // most ISP/Download/AP calls inside at once
    uint32_t Timeouts() const;      // calls the DLL gave up waiting for
    uint32_t DllProcessId() const;  // process whose DLL attached last (0: none yet)
    std::string Describe() const;   // one line with the whole state

private:
    void Close();
    [[noreturn]] void Timeout(const std::string& what, uint32_t timeoutMs) const;
    bool WaitFor(void* event, uint32_t timeoutMs, bool (*done)(const SimControl&, int, uint32_t), int fn,
                 uint32_t target);

    std::wstring name_;
    void* mapping_ = nullptr;
    fwlsim::Shared* shm_ = nullptr;
    void* entered_[3] = {};
    void* released_[3] = {};
    void* exited_[3] = {};
    void* polled_ = nullptr;
    uint32_t seenEntered_[3] = {};
    uint32_t seenExited_[3] = {};
};

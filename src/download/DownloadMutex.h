// One download per computer: a mutex in the system's global namespace, so
// that every session sees it, held by the window's worker and by fwimage
// around the library's steps. Two programs driving one instrument at once can
// ruin it, and the library cannot be trusted to refuse the second.
//
// A program creates the mutex when it is about to download and closes it when
// done, so that it exists only while somebody holds it or is about to: another
// user's mutex, which this one may not open, then counts as held.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::string_view kDownloadMutexName = "Global\\FirmwareLoader.Download";

// What one try to take the mutex found.
enum class TDownloadLockTake {
    Taken,      // it was free
    TakenOver,  // its holder ended without letting it go (abandoned): it is this thread's now
    Held,       // another program holds it, or another user's session (access denied)
    Failed,     // the system failed otherwise: told, and counts as held
};

inline bool LockOwned(TDownloadLockTake take) {
    return take == TDownloadLockTake::Taken || take == TDownloadLockTake::TakenOver;
}

// The system's answers: createError, the error code of creating (or opening)
// the mutex, 0 when a handle was given; waitResult, the result of a wait of
// no time on it (any value when there is no handle).
TDownloadLockTake DownloadLockVerdict(uint32_t createError, uint32_t waitResult);

struct TDownloadLock {
    TDownloadLockTake Take = TDownloadLockTake::Failed;
    // Failed: the call and the system's text.
    std::string Failure;
};

// Windows: the mutex, tried once without waiting when made, and let go and
// closed when destroyed, on the thread that made it (the one that owns it).
class TDownloadMutex {
public:
    TDownloadMutex();
    ~TDownloadMutex();
    TDownloadMutex(const TDownloadMutex&) = delete;
    TDownloadMutex& operator=(const TDownloadMutex&) = delete;

    const TDownloadLock& Lock() const { return lock_; }

private:
    void* handle_ = nullptr;
    TDownloadLock lock_;
};

#include "download/DownloadMutex.h"

namespace {

// The platform's values, named here so that the rule is portable.
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kWaitObject0 = 0x0;
constexpr uint32_t kWaitAbandoned = 0x80;
constexpr uint32_t kWaitTimeout = 0x102;

}  // namespace

TDownloadLockTake DownloadLockVerdict(uint32_t createError, uint32_t waitResult) {
    if (createError == kErrorAccessDenied) return TDownloadLockTake::Held;
    if (createError != 0) return TDownloadLockTake::Failed;
    switch (waitResult) {
    case kWaitObject0:
        return TDownloadLockTake::Taken;
    case kWaitAbandoned:
        return TDownloadLockTake::TakenOver;
    case kWaitTimeout:
        return TDownloadLockTake::Held;
    default:
        return TDownloadLockTake::Failed;
    }
}

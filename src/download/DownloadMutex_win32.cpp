#include "download/DownloadMutex.h"

#include <windows.h>

#include "runtime/FileIO.h"
#include "runtime/Utf16.h"

TDownloadMutex::TDownloadMutex() {
    // Without a security descriptor of its own: another user gets access
    // denied, which is what a mutex that exists only while held should say.
    handle_ = CreateMutexW(nullptr, FALSE, rt::Utf8ToUtf16(kDownloadMutexName).c_str());
    const DWORD createError = handle_ == nullptr ? GetLastError() : 0;
    const DWORD waited = handle_ == nullptr ? WAIT_FAILED : WaitForSingleObject(handle_, 0);
    const DWORD waitError = waited == WAIT_FAILED ? GetLastError() : 0;
    lock_.Take = DownloadLockVerdict(createError, waited);
    if (lock_.Take == TDownloadLockTake::Failed)
        lock_.Failure = createError != 0 ? "CreateMutex: " + rt::SysErrorMessage(createError)
                                         : "WaitForSingleObject: " + rt::SysErrorMessage(waitError);
}

TDownloadMutex::~TDownloadMutex() {
    if (handle_ == nullptr) return;
    if (LockOwned(lock_.Take)) ReleaseMutex(handle_);
    CloseHandle(handle_);
}

// The window's shutdown guard on a window of the test's own (Windows only):
// the reason Windows shows stands exactly while a library call runs.
#include "window/ShutdownGuard.h"

#include <gtest/gtest.h>

namespace {

LRESULT CALLBACK GuardedProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (const std::optional<LRESULT> answer = ShutdownGuardMessage(window, msg, wParam)) return *answer;
    return DefWindowProcW(window, msg, wParam, lParam);
}

TEST(ShutdownGuard, ReasonOnlyWhileACallRuns) {
    WNDCLASSW guarded{};
    guarded.lpfnWndProc = GuardedProc;
    guarded.lpszClassName = L"GuardTest";
    ASSERT_NE(0, RegisterClassW(&guarded));
    const HWND window = CreateWindowExW(0, L"GuardTest", L"", 0, 0, 0, 9, 9, nullptr, nullptr, nullptr, nullptr);
    AttachShutdownGuard(window);
    // Everything posted to this thread so far, handled.
    const auto pump = [] {
        for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&msg);
    };
    for (const TLibraryCall step : {TLibraryCall::ResetToISP, TLibraryCall::Download}) {
        {
            TLibraryCallMark mark(step);
            pump();
            EXPECT_TRUE(ShutdownReasonGiven());
            EXPECT_EQ(FALSE, SendMessageW(window, WM_QUERYENDSESSION, 0, 0));
        }
        pump();
        EXPECT_FALSE(ShutdownReasonGiven()) << "the reason outlived the call";
        EXPECT_EQ(TRUE, SendMessageW(window, WM_QUERYENDSESSION, 0, 0));
    }
}

}  // namespace

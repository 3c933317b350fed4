// The splash window's procedure fed the worker's MSG_FLOW_FINISHED: which results
// leave the last message on screen and which close the window at once.

#include "splash/window.h"

#include <gtest/gtest.h>

#include "splash/status.h"

namespace zelk {
namespace {

constexpr wchar_t kTestClass[] = L"ZelkUpdateTest";

// A hidden top-level window of the splash's procedure.
HWND CreateSplashLikeWindow() {
    static const ATOM registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = SplashWndProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kTestClass;
        return RegisterClassExW(&windowClass);
    }();
    if (registered == 0) {
        return nullptr;
    }
    return CreateWindowExW(0, kTestClass, L"Zelk", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

// Dispatches what is queued for this thread, as the message loop would.
void Pump() {
    MSG message;
    for (int round = 0; round < 5; ++round) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message != WM_QUIT) {
                DispatchMessageW(&message);
            }
        }
        Sleep(10);
    }
}

// True when the window is still there once the result has been handled.
bool StaysAfter(int result) {
    HWND window = CreateSplashLikeWindow();
    EXPECT_NE(window, nullptr);
    PostMessageW(window, MSG_FLOW_FINISHED, static_cast<WPARAM>(static_cast<INT_PTR>(result)), 0);
    Pump();
    const bool stays = IsWindow(window) != FALSE;
    if (stays) {
        DestroyWindow(window);
        Pump();
    }
    return stays;
}

TEST(SplashWindowOutcome, OnlyAnErrorOnScreenKeepsTheWindow) {
    EXPECT_TRUE(StaysAfter(2));
    // Started, handed over (rename copy, replaced bootstrapper), the bench's results and
    // anything unexpected: the window goes at once.
    for (int result : {0, 1, 10, 11, 12, -1, 3}) {
        SCOPED_TRACE(result);
        EXPECT_FALSE(StaysAfter(result));
    }
}

TEST(SplashWindowOutcome, TheLingeringErrorEndsWithItsTimer) {
    HWND window = CreateSplashLikeWindow();
    ASSERT_NE(window, nullptr);
    PostMessageW(window, MSG_FLOW_FINISHED, 2, 0);
    Pump();
    ASSERT_TRUE(IsWindow(window));
    // The timer's own message, without waiting the eight seconds.
    PostMessageW(window, WM_TIMER, kLingerTimer, 0);
    Pump();
    EXPECT_FALSE(IsWindow(window));
}

}  // namespace
}  // namespace zelk

// The splash window's procedure fed the worker's MSG_FLOW_FINISHED: which results
// leave the last message on screen and which close the window at once; and what its
// taskbar button is told along the way, recorded through the taskbar's seam.

#include "splash/window.h"

#include <gtest/gtest.h>

#include <gdiplus.h>

#include <vector>

#include "splash/status.h"
#include "splash/taskbar.h"

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

std::vector<TaskbarView> toldTaskbar;

void RecordTaskbar(HWND, const TaskbarView& view) {
    toldTaskbar.push_back(view);
}

// The window draws a frame for each status change, so GDI+ runs; the taskbar records.
class SplashTaskbar : public ::testing::Test {
protected:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
        TaskbarSink = RecordTaskbar;
        toldTaskbar.clear();
        window_ = CreateSplashLikeWindow();
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        if (IsWindow(window_)) {
            DestroyWindow(window_);
            Pump();
        }
        TaskbarSink = SendToTaskbarList;
        Gdiplus::GdiplusShutdown(token_);
    }
    // A status change as the worker makes it: the record, then the message.
    void Status(double progress) {
        SetStatus(L"Mise \u00E0 jour ...", L"T\u00E9l\u00E9chargement", progress);
        PostMessageW(window_, MSG_STATUS_CHANGED, 0, 0);
        Pump();
    }
    void Finished(int result) {
        PostMessageW(window_, MSG_FLOW_FINISHED, static_cast<WPARAM>(result), 0);
        Pump();
    }

    ULONG_PTR token_ = 0;
    HWND window_ = nullptr;
};

TEST_F(SplashTaskbar, FollowsTheBarShowsTheFailureAndClearsOnClosing) {
    Status(0.02);
    Status(0.5);
    Status(0.5004);  // the same thousandth: the taskbar is not called again
    Status(0.98);
    Finished(2);
    PostMessageW(window_, WM_TIMER, kLingerTimer, 0);
    Pump();
    EXPECT_FALSE(IsWindow(window_));
    const std::vector<TaskbarView> expected = {
        {TaskbarState::Normal, 20, 1000},  {TaskbarState::Normal, 500, 1000},
        {TaskbarState::Normal, 980, 1000}, {TaskbarState::Error, 1000, 1000},
        {TaskbarState::None, 0, 0},
    };
    EXPECT_EQ(toldTaskbar, expected);
}

TEST_F(SplashTaskbar, ASuccessClosesWithoutTheErrorState) {
    Status(1.0);
    Finished(0);
    EXPECT_FALSE(IsWindow(window_));
    const std::vector<TaskbarView> expected = {{TaskbarState::Normal, 1000, 1000},
                                               {TaskbarState::None, 0, 0}};
    EXPECT_EQ(toldTaskbar, expected);
}

TEST_F(SplashTaskbar, ANewButtonIsToldTheProgressAgain) {
    Status(0.25);
    ASSERT_NE(TaskbarButtonCreatedMessage(), 0u);
    SendMessageW(window_, TaskbarButtonCreatedMessage(), 0, 0);
    const std::vector<TaskbarView> expected = {{TaskbarState::Normal, 250, 1000},
                                               {TaskbarState::Normal, 250, 1000}};
    EXPECT_EQ(toldTaskbar, expected);
}

}  // namespace
}  // namespace zelk

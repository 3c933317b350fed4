#include "splash/status.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <system_error>

#include "splash/window.h"

namespace zelk {
namespace {

// A hidden window whose queue the test inspects without dispatching.
class StatusWindow : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
        ASSERT_NE(window_, nullptr);
        SplashWindow.store(window_);
        RedrawStarted();
    }
    void TearDown() override {
        SplashWindow.store(nullptr);
        DestroyWindow(window_);
        RedrawStarted();
    }
    int TakeRedraws() {
        int count = 0;
        MSG message;
        while (PeekMessageW(&message, window_, MSG_STATUS_CHANGED, MSG_STATUS_CHANGED, PM_REMOVE)) {
            ++count;
        }
        return count;
    }
    HWND window_ = nullptr;
};

TEST_F(StatusWindow, ProgressIsClampedNotANumberKept) {
    SetStatus(L"h", L"d", 1.7);
    EXPECT_EQ(CopyStatus().progress, 1.0);
    SetStatus(L"h", L"d", -0.2);
    EXPECT_EQ(CopyStatus().progress, 0.0);
    SetStatus(L"h", L"d", 0.25);
    EXPECT_EQ(CopyStatus().progress, 0.25);
    SetStatus(L"h", L"d", std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(std::isnan(CopyStatus().progress));
}

TEST_F(StatusWindow, ManyUpdatesPostOneRedrawUntilTheWindowDraws) {
    for (int i = 0; i < 5000; ++i) {
        SetStatus(L"Mise \u00E0 jour ...", L"block " + std::to_wstring(i), i / 5000.0);
    }
    EXPECT_EQ(TakeRedraws(), 1);
    const StatusRecord latest = CopyStatus();
    EXPECT_EQ(latest.heading, L"Mise \u00E0 jour ...");
    EXPECT_EQ(latest.detail, L"block 4999");

    RedrawStarted();  // the window is about to copy: the next change needs a new frame
    SetStatus(L"a", L"b", 0.5);
    SetStatus(L"a", L"c", 0.6);
    EXPECT_EQ(TakeRedraws(), 1);
}

TEST_F(StatusWindow, NoWindowNoPostButTheRecordChanges) {
    SplashWindow.store(nullptr);
    SetStatus(L"before", L"the window", 0.1);
    EXPECT_EQ(TakeRedraws(), 0);
    EXPECT_EQ(CopyStatus().detail, L"the window");
}

TEST_F(StatusWindow, AFailedPostDoesNotBlockLaterRedraws) {
    HWND gone =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    SplashWindow.store(gone);
    SetStatus(L"x", L"y", 0.0);
    SplashWindow.store(window_);
    SetStatus(L"x", L"z", 0.0);
    EXPECT_EQ(TakeRedraws(), 1);
}

struct UnstartableThread {
    UnstartableThread() = default;
    template <typename F>
    explicit UnstartableThread(F&&) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    bool started = false;
};

TEST(Worker, RunsInlineWhenNoThreadCanStart) {
    int runs = 0;
    UnstartableThread thread = StartOrRunInline<UnstartableThread>([&] { ++runs; });
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(thread.started);
}

TEST(Worker, RunsOnItsOwnThreadWhenPossible) {
    DWORD bodyThread = 0;
    std::thread thread = StartOrRunInline([&] { bodyThread = GetCurrentThreadId(); });
    ASSERT_TRUE(thread.joinable());
    thread.join();
    EXPECT_NE(bodyThread, 0u);
    EXPECT_NE(bodyThread, GetCurrentThreadId());
}

}  // namespace
}  // namespace zelk

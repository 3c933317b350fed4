// What the taskbar button shows for the bar's progress (the failure screen's state is
// checked through the window, in window_test.cpp).

#include "splash/taskbar_view.h"

#include <gtest/gtest.h>

#include <limits>

namespace zelk {
namespace {

TEST(TaskbarView, TheBarsFillInThousandths) {
    const TaskbarView none{};
    struct Case {
        double progress;
        TaskbarView view;
    };
    for (const Case& c : {
             Case{0.0, none},
             Case{-0.0, none},
             Case{std::numeric_limits<double>::quiet_NaN(), none},
             Case{0.02, {TaskbarState::Normal, 20, 1000}},   // looking for updates
             Case{0.0004, {TaskbarState::Normal, 0, 1000}},  // started, not yet a step
             Case{0.5, {TaskbarState::Normal, 500, 1000}},
             Case{0.98, {TaskbarState::Normal, 980, 1000}},
             Case{0.9996, {TaskbarState::Normal, 1000, 1000}},
             Case{1.0, {TaskbarState::Normal, 1000, 1000}},
             Case{7.0, {TaskbarState::Normal, 1000, 1000}},
         }) {
        EXPECT_EQ(TaskbarForProgress(c.progress), c.view) << c.progress;
    }
}

}  // namespace
}  // namespace zelk

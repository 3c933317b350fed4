#pragma once
// What the splash window's taskbar button shows, free of Windows headers: the bar's
// progress while the update runs, the error state on a failure screen, nothing once
// the window has closed.

#include <cstdint>

namespace zelk {

enum class TaskbarState { None, Normal, Error };

struct TaskbarView {
    TaskbarState state = TaskbarState::None;
    std::uint64_t completed = 0;
    std::uint64_t total = 0;

    bool operator==(const TaskbarView&) const = default;
};

// Steps of the button's bar: fine enough for the eye, coarse enough that a download
// does not call the taskbar for every block received.
inline constexpr std::uint64_t kTaskbarSteps = 1000;

// The same fill as the splash's bar; nothing while the bar is empty or its value unknown.
TaskbarView TaskbarForProgress(double progress);

// A failure screen: the error state over the whole button, which an empty bar would hide.
TaskbarView TaskbarForFailure();

}  // namespace zelk

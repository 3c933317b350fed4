#include "splash/taskbar_view.h"

#include <cmath>

namespace zelk {

TaskbarView TaskbarForProgress(double progress) {
    if (!(progress > 0.0)) {  // also for a NaN
        return {};
    }
    const double steps = std::round(std::fmin(progress, 1.0) * kTaskbarSteps);
    return {TaskbarState::Normal, static_cast<std::uint64_t>(steps), kTaskbarSteps};
}

TaskbarView TaskbarForFailure() {
    return {TaskbarState::Error, kTaskbarSteps, kTaskbarSteps};
}

}  // namespace zelk

#pragma once

#include <string>

namespace zelk {

// Flow results.
inline constexpr int kLauncherStarted = 0;
inline constexpr int kTakenOver = 1;
inline constexpr int kFailedOnScreen = 2;
inline constexpr int kBenchInstalled = 10;
inline constexpr int kBenchWouldLaunch = 11;
inline constexpr int kBenchFailed = 12;

// The whole update, from preparing the installation to starting the launcher.
int RunUpdateFlow(const std::wstring& programPath);

}  // namespace zelk

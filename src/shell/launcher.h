#pragma once
// Starting the launcher, and process checks.

#include <filesystem>
#include <string>

namespace zelk {

// Starts appDir\ZelkLauncher.exe with LaunchUrl, after refreshing the shortcut
// icons. True when the process was created.
bool StartLauncher(const std::filesystem::path& appDir);

// The flow's result once it has decided to start the launcher: overrideCode with
// an explicit data root (nothing is started), else 0 when started and 2 if not.
int LaunchExitCode(const std::filesystem::path& appDir, int overrideCode);

// Whether a process with this executable file name runs (ASCII case ignored).
bool IsProcessRunning(const std::wstring& exeName);

// Whether the named mutex that the launcher holds while it runs exists, also when
// this process may not open it.
bool IsLauncherRunning();

}  // namespace zelk

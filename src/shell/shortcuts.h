#pragma once
// Desktop and Start-menu shortcuts, and the icon of every shortcut of ours.
// Callers have COM initialised as a single-threaded apartment.

#include <filesystem>
#include <vector>

namespace zelk {

void CreateShortcut(const std::filesystem::path& lnkPath, const std::filesystem::path& target);

// "Zelk.lnk" on the Desktop and in the Start menu's Programs (those of the two known
// folders that the shell gives).
std::vector<std::filesystem::path> StandardShortcutPaths();

// "Zelk.lnk" on the Desktop and in the Start menu's Programs, both to target.
void CreateStandardShortcuts(const std::filesystem::path& target);

// Deletes the shortcut when it is one of ours: its target is exePath or launcherExe
// (the same file, or the same path once the file is gone). Others are left alone.
// False when a shortcut of ours is still there.
bool RemoveOwnShortcut(const std::filesystem::path& lnkPath, const std::filesystem::path& exePath,
                       const std::filesystem::path& launcherExe);

// Copies appDir\zelk.ico under a name made from its digest and points every
// shortcut of ours (to the installed bootstrapper or the launcher) at the copy.
void RefreshShortcutIcons(const std::filesystem::path& appDir);

}  // namespace zelk

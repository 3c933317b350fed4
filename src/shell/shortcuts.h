#pragma once
// Desktop and Start-menu shortcuts, and the icon of every shortcut of ours.
// Callers have COM initialised as a single-threaded apartment.

#include <filesystem>

namespace zelk {

void CreateShortcut(const std::filesystem::path& lnkPath, const std::filesystem::path& target);

// "Zelk.lnk" on the Desktop and in the Start menu's Programs, both to target.
void CreateStandardShortcuts(const std::filesystem::path& target);

// Copies appDir\zelk.ico under a name made from its digest and points every
// shortcut of ours (to the installed bootstrapper or the launcher) at the copy.
void RefreshShortcutIcons(const std::filesystem::path& appDir);

}  // namespace zelk

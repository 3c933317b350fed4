#pragma once
// Zelk's entry in Windows' "Installed apps" (Settings) and "Programs and Features",
// for the current user: HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelk.

#include "install/paths.h"

namespace zelk {

inline constexpr wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zelk";

// Writes or refreshes every value but the size: the name, icon, version and publisher,
// the data root, no modify and no repair, and the two commands that start the installed
// Zelk.exe's uninstall (with the question, and silently).
void RegisterUninstallEntry(const InstallPaths& paths);

// EstimatedSize: the KiB of Zelk.exe and the launcher's folder, as they are now.
void RecordInstalledSize(const InstallPaths& paths);

// True when the entry is gone, also when there was none.
bool RemoveUninstallEntry();

}  // namespace zelk

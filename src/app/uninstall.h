#pragma once
// The uninstall that "Installed apps" starts (--desinstaller, with --silencieux and
// --tout), and its last step: a temporary copy that removes Zelk.exe once the
// uninstalling Zelk.exe has ended, since a running program cannot delete its own file.

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "install/paths.h"

namespace zelk {

// Results of the uninstall mode.
inline constexpr int kUninstalled = 0;
inline constexpr int kUninstallDeclined = 1;  // "Non" at the question: nothing changed
inline constexpr int kUninstallFailed = 2;    // refused, or incomplete: the message says what

// Where the uninstall works and how it talks and hands over. The mode fills it for the
// user's installation (UserUninstallSetup); tests give scratch folders and recorders.
struct UninstallSetup {
    InstallPaths paths;
    std::filesystem::path programPath;                      // the running program
    std::vector<std::filesystem::path> shortcuts;           // the Desktop and Start-menu "Zelk.lnk"
    std::wstring updateLock;                                // the one a running update holds
    DWORD updateWaitMs = 30000;                             // how long such an update may take
    std::function<bool()> launcherRunning;                  // its files would be in use
    std::function<bool(const std::wstring& question)> ask;  // true for "Oui"
    std::function<void(const std::wstring& message, bool problem)> tell;
    // Removes Zelk.exe, the uninstall entry and the emptied data root, now or once this
    // process has ended; false when that could not be set in motion.
    std::function<bool(const InstallPaths& paths)> finish;
};

UninstallSetup UserUninstallSetup(const std::filesystem::path& programPath);

// Removes the shortcuts, the zelk:// protocol (while it is still this Zelk's), the
// launcher's folder with the state files, the icon copies, the launcher's cache and
// crash folders, and (through finish) Zelk.exe and the uninstall entry. The user's data
// (settings, identity, logs) stays unless options.everything. A failure goes on with
// what it can, lists what is left, and keeps Zelk.exe and the entry so that a second
// uninstall finishes the job.
int RunUninstall(const UninstallOptions& options, const UninstallSetup& setup);

// Zelk.exe (retrying while its image is being released), then the uninstall entry and
// the data root if it is empty. False while Zelk.exe is still there.
bool RemoveInstalledProgram(const InstallPaths& paths);

// The temporary copy's mode: waits for the uninstalling process to end, runs
// RemoveInstalledProgram on the user's installation, then has its own folder removed.
// 0 when Zelk.exe is gone, 2 otherwise.
int RunUninstallFinish(DWORD processId);

}  // namespace zelk

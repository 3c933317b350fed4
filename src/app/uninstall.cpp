#include "app/uninstall.h"

#include <string>
#include <system_error>

#include "app/command_line.h"
#include "app/launch_options.h"
#include "common/process.h"
#include "common/run_log.h"
#include "common/text.h"
#include "common/version.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "install/temp_copy.h"
#include "shell/launcher.h"
#include "shell/shortcuts.h"
#include "shell/uninstall_entry.h"
#include "shell/url_protocol.h"
#include "update/update_lock.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kCaption[] = L"Zelk";
constexpr wchar_t kQuestion[] = L"Désinstaller Zelk ?";
constexpr wchar_t kLauncherRuns[] = L"Ferme le launcher puis relance la désinstallation.";
constexpr wchar_t kUpdateRuns[] =
    L"Zelk est en train de se mettre à jour : relance la désinstallation dans un instant.";
constexpr wchar_t kFinishCopy[] = L"Zelk-desinstallation.exe";
constexpr size_t kListedLeftovers = 5;
constexpr int kDeleteAttempts = 10;
constexpr DWORD kDeletePauseMs = 300;

// What the uninstall removes below the data root: everything but Zelk.exe itself (which
// finish removes last) with --tout; otherwise what Zelk and the launcher installed,
// keeping the user's data: settings, identity, logs and the files the migration set
// aside.
std::vector<fs::path> InstalledFiles(const InstallPaths& paths, bool everything) {
    if (everything) {
        std::vector<fs::path> entries;
        std::error_code error;
        for (fs::directory_iterator walk(paths.root, error);
             !error && walk != fs::directory_iterator(); walk.increment(error)) {
            if (!SamePathText(walk->path().filename().native(),
                              paths.exePath.filename().native())) {
                entries.push_back(walk->path());
            }
        }
        return entries;
    }
    fs::path exeTemporary = paths.exePath;
    exeTemporary += L".tmp";  // left by an interrupted replacement of Zelk.exe
    return {paths.appDir,     paths.iconsDir,   paths.cacheDir, paths.crashesDir,
            paths.partialDir, paths.oldExePath, exeTemporary};
}

std::wstring Leftovers(const std::vector<fs::path>& left) {
    std::wstring text = L"Désinstallation incomplète : ces éléments n'ont pas pu être supprimés.\n";
    for (size_t i = 0; i < left.size() && i < kListedLeftovers; ++i) {
        text += L"\n" + left[i].native();
    }
    if (left.size() > kListedLeftovers) {
        text += L"\n… et " + std::to_wstring(left.size() - kListedLeftovers) + L" autres";
    }
    return text + L"\n\nFerme les programmes qui les utilisent puis relance la désinstallation.";
}

std::wstring Done(const InstallPaths& paths, bool everything) {
    if (everything) {
        return L"Zelk est désinstallé, avec toutes ses données.";
    }
    return L"Zelk est désinstallé.\n\nTes paramètres, ton identité et tes journaux sont "
           L"conservés dans :\n" +
           paths.appDataDir.native();
}

int Uninstall(const UninstallOptions& options, const UninstallSetup& setup) {
    const InstallPaths& paths = setup.paths;
    const auto tell = [&](const std::wstring& message, bool problem) {
        if (!options.silent) {
            setup.tell(message, problem);
        }
    };
    if (setup.launcherRunning()) {
        Log("the launcher runs: nothing removed");
        tell(kLauncherRuns, true);
        return kUninstallFailed;
    }
    if (!options.silent && !setup.ask(kQuestion)) {
        Log("declined at the question: nothing removed");
        return kUninstallDeclined;
    }

    std::vector<fs::path> left;
    for (const fs::path& shortcut : setup.shortcuts) {
        if (!RemoveOwnShortcut(shortcut, paths.exePath, paths.launcherExe)) {
            left.push_back(shortcut);
        }
    }
    if (!UnregisterUrlProtocol(paths.exePath)) {
        left.emplace_back(L"HKEY_CURRENT_USER\\Software\\Classes\\zelk");
    }
    for (const fs::path& installed : InstalledFiles(paths, options.everything)) {
        // A link met on the way is removed itself, never entered: it may lead out of
        // the installation.
        RemoveOwnTree(installed, left);
    }
    // Zelk.exe and the entry stay while anything is left: "Installed apps" still lists
    // Zelk, and its uninstall finishes the job once the files are free.
    if (left.empty() && !setup.finish(paths)) {
        left.push_back(paths.exePath);
    }
    for (const fs::path& path : left) {
        Log("not removed: ", path);
    }
    if (!left.empty()) {
        tell(Leftovers(left), true);
        return kUninstallFailed;
    }
    tell(Done(paths, options.everything), false);
    return kUninstalled;
}

// The copy that removes Zelk.exe after this process, from a folder of its own.
bool StartFinishCopy(const fs::path& programPath) {
    return StartFreshTempCopy(
        programPath, kFinishCopy,
        std::wstring(kUninstallFinishArg) + L" " + std::to_wstring(GetCurrentProcessId()));
}

}  // namespace

UninstallSetup UserUninstallSetup(const fs::path& programPath) {
    UninstallSetup setup;
    setup.paths = MakeInstallPaths(GetDataRoot());
    setup.programPath = programPath;
    setup.shortcuts = StandardShortcutPaths();
    setup.updateLock = UpdateLockName(setup.paths.root);
    setup.launcherRunning = IsLauncherRunning;
    setup.ask = [](const std::wstring& question) {
        return MessageBoxW(nullptr, question.c_str(), kCaption,
                           MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) == IDYES;
    };
    setup.tell = [](const std::wstring& message, bool problem) {
        MessageBoxW(nullptr, message.c_str(), kCaption,
                    MB_OK | (problem ? MB_ICONWARNING : MB_ICONINFORMATION) | MB_SETFOREGROUND);
    };
    setup.finish = [programPath](const InstallPaths& paths) {
        // The installed copy cannot delete itself: a temporary copy does, after it.
        return SameFile(programPath, paths.exePath) ? StartFinishCopy(programPath)
                                                    : RemoveInstalledProgram(paths);
    };
    return setup;
}

int RunUninstall(const UninstallOptions& options, const UninstallSetup& setup) {
    SetOwnRoot(setup.paths.root);
    BeginRunLog(setup.paths.logsDir);
    Log("start: Zelk ", kZelkVersion, ", mode uninstall, silent: ", options.silent,
        ", everything: ", options.everything);
    // COM for the shortcuts, which are read through the shell.
    ComApartment com;
    // An update in progress writes what the uninstall removes: let it end first.
    const UniqueHeldMutex lock = TakeUpdateLock(setup.updateLock, setup.updateWaitMs);
    int result = kUninstallFailed;
    if (lock) {
        try {
            result = Uninstall(options, setup);
        } catch (const std::exception&) {
            // Out of memory: reported like any other failure.
        }
    } else {
        Log("an update runs: nothing removed");
        if (!options.silent) {
            setup.tell(kUpdateRuns, true);
        }
    }
    Log("end: result ", result, ", after ", RunLogSeconds(), " s");
    return result;
}

bool RemoveInstalledProgram(const InstallPaths& paths) {
    bool gone = false;
    for (int attempt = 0; attempt < kDeleteAttempts && !gone; ++attempt) {
        gone = RemoveOwnFile(paths.exePath) || !PathExists(paths.exePath);
        if (!gone) {
            Sleep(kDeletePauseMs);  // the ended process's image may still be held
        }
    }
    if (!gone) {
        return false;
    }
    RemoveUninstallEntry();
    RemoveDirectoryW(paths.root.c_str());  // only when empty: the user's data may stay in it
    return true;
}

int RunUninstallFinish(DWORD processId) {
    // It shows its last message first; the user takes the time they need.
    WaitForProcessEnd(processId, INFINITE);
    const InstallPaths paths = MakeInstallPaths(GetDataRoot());
    SetOwnRoot(paths.root);
    BeginRunLog(paths.logsDir);  // kept with the user's data, or gone with it
    const bool removed = RemoveInstalledProgram(paths);
    Log("uninstall finished: ", paths.exePath, removed ? " removed" : " not removed");
    if (const std::wstring own = OwnProgramPath(); !own.empty()) {
        RemoveFolderAfterExit(fs::path(own).parent_path());
    }
    return removed ? 0 : 2;
}

}  // namespace zelk

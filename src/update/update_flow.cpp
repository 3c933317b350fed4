#include "update/update_flow.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/command_line.h"
#include "app/launch_options.h"
#include "common/process.h"
#include "common/run_log.h"
#include "common/text.h"
#include "common/version.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "install/migration.h"
#include "install/paths.h"
#include "install/temp_copy.h"
#include "integrity/sha256.h"
#include "net/http_client.h"
#include "shell/launcher.h"
#include "shell/shortcuts.h"
#include "shell/uninstall_entry.h"
#include "shell/url_protocol.h"
#include "splash/status.h"
#include "update/install_release.h"
#include "update/manifest.h"
#include "update/manifest_search.h"
#include "update/state_files.h"
#include "update/update_lock.h"
#include "update/update_servers.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kHeading[] = L"Mise à jour ...";
constexpr wchar_t kGameExe[] = L"KingdomCome.exe";
constexpr wchar_t kRenameCopy[] = L"Zelk-renommage.exe";
constexpr wchar_t kWaitingHeading[] = L"Mise à jour en cours\u2026";
constexpr wchar_t kWaitingDetail[] = L"Une autre fenêtre de Zelk installe la mise à jour";

// The data root's folder must be named exactly "Zelk". Its name cannot change while
// this program runs from inside it, so a temporary copy of the program does the
// rename once this process has ended. True when that copy was started.
bool HandOffFolderRename(const std::wstring& programPath) {
    if (IsLauncherRunning()) {
        return false;
    }
    // The copy goes into a new folder of its own, which it removes when it is done: in
    // the temporary folder itself, anyone could have put a DLL beside it.
    std::wstring arguments =
        std::wstring(kFolderRenameArg) + L" " + std::to_wstring(GetCurrentProcessId());
    if (!LaunchUrl.empty()) {
        arguments += L" " + Quoted(LaunchUrl);
    }
    return StartFreshTempCopy(programPath, kRenameCopy, arguments);
}

bool WantsFolderRename(const InstallPaths& paths, const std::wstring& programPath,
                       bool explicitRoot) {
    if (explicitRoot || AfterRename) {
        return false;  // a restart after a rename never hands off again, even if it failed
    }
    const std::wstring name = GetOnDiskName(paths.root);
    return !name.empty() && name != kDataRootName && SameFile(programPath, paths.exePath) &&
           !IsProcessRunning(kGameExe);
}

// Run from elsewhere (a download folder, say): keep the installed copy identical
// to this program, and give the user the shortcuts to it.
void InstallOwnCopy(const std::wstring& programPath, const InstallPaths& paths) {
    // An unreadable own image would count as empty: never write that over the copy.
    std::vector<std::uint8_t> own;
    if (ReadWholeFile(programPath, own) && !own.empty()) {
        std::vector<std::uint8_t> installed;
        if (!ReadWholeFile(paths.exePath, installed) || sha256Hex(installed) != sha256Hex(own)) {
            if (WriteFileAtomically(paths.exePath, own)) {
                Log("installed copy written: ", paths.exePath);
            } else {
                Log("installed copy not written: ", paths.exePath, ", error ", GetLastError());
            }
        }
    }
    CreateStandardShortcuts(paths.exePath);
}

// What no accepted manifest leaves on screen, and the result that follows.
int NoManifestAccepted(const ManifestSearch& search, const FlowContext& flow) {
    const NoManifestOutcome outcome = ChooseNoManifestOutcome(
        flow.launcherExists, search.lastRefusal, flow.explicitRoot, search.troubles.Reason());
    SetStatus(outcome.heading, outcome.detail, outcome.progress);
    Sleep(outcome.pauseMs);
    return outcome.launch ? LaunchExitCode(flow.paths.appDir, kBenchWouldLaunch) : outcome.result;
}

// The flow's steps; RunUpdateFlow puts the first and last lines of the log around them.
int RunSteps(const std::wstring& programPath, FlowContext& flow) {
    // The shortcuts and the launcher's start use shell objects. With an explicit data
    // root neither happens, and the apartment's hidden window would only cost memory.
    std::optional<ComApartment> com;
    if (!flow.explicitRoot) {
        com.emplace();
    }
    const InstallPaths& paths = flow.paths;

    std::error_code ignored;
    fs::create_directories(paths.root, ignored);
    RemoveOwnFile(paths.oldExePath);  // left by the last self-replacement

    // The log begins after the migration, which moves the old layout's log files into
    // the logs folder but never over a file of the same name.
    const bool migrate =
        !IsLauncherRunning() && !flow.explicitRoot && PathExists(paths.root / L"app");
    const int migrated = migrate ? MigrateDataFolder(paths.root) : 0;

    CreateOwnFolders(paths.logsDir);
    BeginRunLog(paths.logsDir);
    Log("start: Zelk ", kZelkVersion, ", mode ", flow.explicitRoot ? "bench" : "normal",
        ", link given: ", !LaunchUrl.empty());
    if (flow.lockWaitMs != 0) {
        Log("waited ", flow.lockWaitMs / 1000.0, " s for another update of this data root");
    }
    if (migrate) {
        Log("old layout migrated: ", migrated, " entries moved");
    }

    if (WantsFolderRename(paths, programPath, flow.explicitRoot) &&
        HandOffFolderRename(programPath)) {
        Log("folder name ", GetOnDiskName(paths.root),
            " to be fixed: handed off to the rename copy");
        return kTakenOver;
    }

    CreateOwnFolders(paths.appDir);
    CreateOwnFolders(paths.dataDir);

    if (!flow.explicitRoot) {
        if (!SameFile(programPath, paths.exePath)) {
            InstallOwnCopy(programPath, paths);
        }
        RegisterUrlProtocol(paths.exePath);
        RegisterUninstallEntry(paths);
    }

    // A switch an earlier run could not finish is finished first, offline if need be: no
    // launcher is ever started on files of two releases.
    FinishInterruptedSwitch(paths, ReadLastDate(paths.manifestMarker));
    const Settings settings = ReadSettings(paths.settingsFile);
    flow.launcherExists = IsInstalled(paths);

    if (!settings.autoUpdate && flow.launcherExists) {
        Log("automatic updates off: the installed launcher starts");
        SetStatus(kHeading, L"Starting Zelk", 1.0);
        return LaunchExitCode(paths.appDir, kBenchWouldLaunch);
    }
    if (IsLauncherRunning() && !flow.explicitRoot && flow.launcherExists) {
        // Its files are in use: no update while it runs.
        Log("the launcher runs: no update");
        SetStatus(kHeading, L"Starting Zelk", 1.0);
        return StartLauncher(paths.appDir) ? kLauncherStarted : kFailedOnScreen;
    }

    SetStatus(kHeading, L"Recherche de mises à jour\u2026", 0.02);
    const std::string lastDate = ReadLastDate(paths.manifestMarker);

    std::vector<std::wstring> baseUrls;
    if (flow.explicitRoot) {
        baseUrls.push_back(BaseUrlOverride);
    } else {
        baseUrls.assign(std::begin(kBuiltInServers), std::end(kBuiltInServers));
    }

    // One session for every request of the run: its connections are kept and reused.
    const HttpSession session = OpenHttpSession();
    flow.session = &session;
    const FetchDocument fetch = [&session](const std::wstring& url, std::vector<std::uint8_t>& body,
                                           std::uint64_t maxBytes) {
        return httpGet(session, url, body, {}, maxBytes, kDocumentLimits);
    };
    const ManifestSearch search =
        SearchManifest(baseUrls, settings.channel, lastDate, paths.appDir, fetch);
    if (search.releaseFolder.empty()) {
        return NoManifestAccepted(search, flow);
    }
    const int result = InstallRelease(search, baseUrls, flow);
    if (!flow.explicitRoot) {
        RecordInstalledSize(paths);  // what the update left on disk
    }
    return result;
}

}  // namespace

int RunUpdateFlow(const std::wstring& programPath) {
    FlowContext flow;
    flow.programPath = programPath;
    flow.explicitRoot = HasExplicitRoot();
    flow.paths = MakeInstallPaths(GetDataRoot());
    // Everything this run writes, renames or removes is below it: never through a link.
    SetOwnRoot(flow.paths.root);
    // One update at a time per data root: a second run (a double-click, a zelk:// link
    // clicked meanwhile) waits for the first, then finds its work done.
    const std::uint64_t asked = GetTickCount64();
    bool waited = false;
    const UniqueHeldMutex lock =
        TakeUpdateLock(UpdateLockName(flow.paths.root), kUpdateLockWaitMs, [&waited] {
            waited = true;
            SetStatus(kWaitingHeading, kWaitingDetail, 0.0);
        });
    if (!lock) {
        BeginRunLog(flow.paths.logsDir);
        Log("start: Zelk ", kZelkVersion, ", mode ", flow.explicitRoot ? "bench" : "normal",
            ": another update of this data root still runs after ",
            (GetTickCount64() - asked) / 1000.0, " s, nothing done");
        return flow.explicitRoot ? kBenchFailed : kFailedOnScreen;
    }
    flow.lockWaitMs = waited ? std::max<std::uint64_t>(GetTickCount64() - asked, 1) : 0;
    const int result = RunSteps(programPath, flow);
    const StatusRecord shown = CopyStatus();
    Log("end: result ", result, ", showing \"", shown.heading, "\" / \"", shown.detail,
        "\", after ", RunLogSeconds(), " s");
    return result;
}

}  // namespace zelk

#include "update/update_flow.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/command_line.h"
#include "app/launch_options.h"
#include "common/process.h"
#include "common/text.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "install/migration.h"
#include "install/paths.h"
#include "integrity/sha256.h"
#include "net/http_client.h"
#include "shell/launcher.h"
#include "shell/shortcuts.h"
#include "shell/url_protocol.h"
#include "splash/status.h"
#include "update/install_release.h"
#include "update/manifest.h"
#include "update/manifest_search.h"
#include "update/state_files.h"
#include "update/update_servers.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kHeading[] = L"Mise à jour ...";
constexpr wchar_t kGameExe[] = L"KingdomCome.exe";
constexpr wchar_t kRenameCopy[] = L"Zelk-renommage.exe";

// The data root's folder must be named exactly "Zelk". Its name cannot change while
// this program runs from inside it, so a temporary copy of the program does the
// rename once this process has ended. True when that copy was started.
bool HandOffFolderRename(const std::wstring& programPath) {
    if (IsLauncherRunning()) {
        return false;
    }
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    const std::wstring copy = (fs::path(temp) / kRenameCopy).native();
    if (!CopyFileW(programPath.c_str(), copy.c_str(), FALSE)) {
        return false;
    }
    std::wstring commandLine =
        Quoted(copy) + L" " + kFolderRenameArg + L" " + std::to_wstring(GetCurrentProcessId());
    if (!LaunchUrl.empty()) {
        commandLine += L" " + Quoted(LaunchUrl);
    }
    return StartProcess(copy, commandLine, temp);
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
            WriteFileAtomically(paths.exePath, own);
        }
    }
    CreateStandardShortcuts(paths.exePath);
}

// What no accepted manifest leaves on screen, and the result that follows.
int NoManifestAccepted(const ManifestSearch& search, const FlowContext& flow) {
    const NoManifestOutcome outcome =
        ChooseNoManifestOutcome(flow.launcherExists, search.lastRefusal, flow.explicitRoot);
    SetStatus(outcome.heading, outcome.detail, outcome.progress);
    Sleep(outcome.pauseMs);
    return outcome.launch ? LaunchExitCode(flow.paths.appDir, kBenchWouldLaunch) : outcome.result;
}

}  // namespace

int RunUpdateFlow(const std::wstring& programPath) {
    FlowContext flow;
    flow.programPath = programPath;
    flow.explicitRoot = HasExplicitRoot();
    // The shortcuts and the launcher's start use shell objects. With an explicit data
    // root neither happens, and the apartment's hidden window would only cost memory.
    std::optional<ComApartment> com;
    if (!flow.explicitRoot) {
        com.emplace();
    }
    flow.paths = MakeInstallPaths(GetDataRoot());
    const InstallPaths& paths = flow.paths;

    std::error_code ignored;
    fs::create_directories(paths.root, ignored);
    fs::remove(paths.oldExePath, ignored);  // left by the last self-replacement

    if (!IsLauncherRunning() && !flow.explicitRoot && PathExists(paths.root / L"app")) {
        MigrateDataFolder(paths.root);
    }

    if (WantsFolderRename(paths, programPath, flow.explicitRoot) &&
        HandOffFolderRename(programPath)) {
        return kTakenOver;
    }

    fs::create_directories(paths.appDir, ignored);
    fs::create_directories(paths.dataDir, ignored);

    if (!flow.explicitRoot) {
        if (!SameFile(programPath, paths.exePath)) {
            InstallOwnCopy(programPath, paths);
        }
        RegisterUrlProtocol(paths.exePath);
    }

    const Settings settings = ReadSettings(paths.settingsFile);
    flow.launcherExists = PathExists(paths.launcherExe);

    if (!settings.autoUpdate && flow.launcherExists) {
        SetStatus(kHeading, L"Starting Zelk", 1.0);
        return LaunchExitCode(paths.appDir, kBenchWouldLaunch);
    }
    if (IsLauncherRunning() && !flow.explicitRoot && flow.launcherExists) {
        // Its files are in use: no update while it runs.
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
    const FetchDocument fetch = [&session](const std::wstring& url,
                                           std::vector<std::uint8_t>& body,
                                           std::uint64_t maxBytes) {
        return httpGet(session, url, body, {}, maxBytes, kDocumentLimits);
    };
    const ManifestSearch search = SearchManifest(baseUrls, settings.channel, lastDate, fetch);
    if (search.releaseFolder.empty()) {
        return NoManifestAccepted(search, flow);
    }
    return InstallRelease(search.manifest, search.releaseFolder, baseUrls, flow);
}

}  // namespace zelk

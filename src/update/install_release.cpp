#include "update/install_release.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <system_error>

#include "app/launch_options.h"
#include "common/process.h"
#include "common/text.h"
#include "install/background_flush.h"
#include "install/file_helpers.h"
#include "integrity/sha256.h"
#include "net/content.h"
#include "shell/launcher.h"
#include "splash/download_progress.h"
#include "splash/status.h"
#include "update/executable_image.h"
#include "update/manifest.h"
#include "update/path_rules.h"
#include "update/release_paths.h"
#include "update/state_files.h"
#include "update/update_flow.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kHeading[] = L"Mise à jour ...";
constexpr wchar_t kInstallFailed[] = L"Impossible d'installer Zelk";
constexpr DWORD kInterruptedPauseMs = 900;
constexpr DWORD kBeforeLaunchPauseMs = 400;

// Size on disk, or all ones when it cannot be read (which matches no entry).
std::uint64_t SizeOnDisk(const fs::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return UINT64_MAX;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

enum class BootstrapperOutcome { Unchanged, Restarted };

// Replaces exePath with the release's bootstrapper when it differs. When this
// process runs as exePath, the running image is moved aside first (Windows lets a
// running executable be renamed, not overwritten) and the new copy is started.
BootstrapperOutcome UpdateBootstrapper(const JsonValue& manifest,
                                       const std::vector<std::wstring>& sources,
                                       const FlowContext& flow) {
    const BootstrapperRecord record = ReadBootstrapperRecord(manifest);
    std::vector<std::uint8_t> installed;
    ReadWholeFile(flow.paths.exePath, installed);
    if (record.sha256.size() != 64 || sha256Hex(installed) == record.sha256) {
        return BootstrapperOutcome::Unchanged;
    }
    installed = {};

    SetStatus(kHeading, L"Mise à jour de Zelk.exe", 0.05);
    std::vector<std::uint8_t> fresh;
    // Whatever its digest, only a 64-bit Windows program may take Zelk.exe's place: the
    // shortcuts and zelk:// start it.
    if (!downloadContent(sources, record.sha256, fresh, {}, record.size) ||
        !IsX64Executable(fresh)) {
        return BootstrapperOutcome::Unchanged;
    }
    const bool same = SameFile(flow.programPath, flow.paths.exePath);
    const bool movedAside =
        same && MoveFileExW(flow.paths.exePath.c_str(), flow.paths.oldExePath.c_str(),
                            MOVEFILE_REPLACE_EXISTING);
    const bool written = WriteFileAtomically(flow.paths.exePath, fresh);
    if (movedAside && !written) {
        // Never leave the user without Zelk.exe: shortcuts and zelk:// point at it.
        MoveFileExW(flow.paths.oldExePath.c_str(), flow.paths.exePath.c_str(), 0);
        return BootstrapperOutcome::Unchanged;
    }
    if (written && same) {
        std::wstring commandLine = Quoted(flow.paths.exePath.native()) + L" --updated";
        if (!LaunchUrl.empty()) {
            commandLine += L" " + Quoted(LaunchUrl);
        }
        if (StartProcess(flow.paths.exePath.native(), commandLine, flow.paths.root.native())) {
            return BootstrapperOutcome::Restarted;
        }
    }
    return BootstrapperOutcome::Unchanged;
}

}  // namespace

void RemoveObsoleteFiles(const InstalledIndex& index, const std::vector<ManifestFile>& allFiles,
                         const fs::path& appDir) {
    std::set<std::wstring> current;
    for (const ManifestFile& file : allFiles) {
        current.insert(PathKey(file.path));
    }
    for (const auto& [path, digest] : index) {
        const std::wstring key = PathKey(path);
        if (key.empty() || current.count(key) != 0 || CrossesLink(appDir, path)) {
            continue;
        }
        std::error_code ignored;
        // By its resolved spelling: the one Windows would use for the raw text anyway.
        fs::remove(appDir / ResolvedPath(std::wstring_view(path)), ignored);
    }
}

std::vector<std::wstring> ContentSources(const std::wstring& releaseFolder,
                                         const std::vector<std::wstring>& baseUrls) {
    std::vector<std::wstring> sources{releaseFolder};
    for (const std::wstring& base : baseUrls) {
        if (releaseFolder.compare(0, base.size(), base) != 0) {
            sources.push_back(base + L"/release");
        }
    }
    return sources;
}

std::vector<ManifestFile> SelectPendingFiles(const std::vector<ManifestFile>& allFiles,
                                             const InstalledIndex& index, const fs::path& appDir) {
    // Judged by recorded digest and size on disk: no installed content is read.
    // An index line under another spelling of the same file counts for it; one with
    // the manifest's exact spelling counts first.
    std::map<std::wstring, std::string> byKey;
    for (const auto& [path, digest] : index) {
        if (const std::wstring key = PathKey(path); !key.empty()) {
            byKey[key] = digest;
        }
    }
    std::vector<ManifestFile> pending;
    for (const ManifestFile& file : allFiles) {
        const fs::path full = appDir / file.path;
        const std::string* recorded = nullptr;
        if (const auto exact = index.find(file.path); exact != index.end()) {
            recorded = &exact->second;
        } else if (const auto other = byKey.find(PathKey(file.path)); other != byKey.end()) {
            recorded = &other->second;
        }
        if (recorded == nullptr || *recorded != file.sha256 || !PathExists(full) ||
            SizeOnDisk(full) != file.size) {
            pending.push_back(file);
        }
    }
    return pending;
}

bool SameRelativePath(const std::wstring& a, const std::wstring& b) {
    const std::wstring key = PathKey(a);
    return !key.empty() && key == PathKey(b);
}

int InstallRelease(const JsonValue& manifest, const std::wstring& releaseFolder,
                   const std::vector<std::wstring>& baseUrls, const FlowContext& flow) {
    const fs::path& appDir = flow.paths.appDir;
    const std::vector<std::wstring> sources = ContentSources(releaseFolder, baseUrls);

    if (UpdateBootstrapper(manifest, sources, flow) == BootstrapperOutcome::Restarted) {
        return kTakenOver;
    }

    InstalledIndex index = ReadInstalledIndex(flow.paths.installedMarker);
    const std::vector<ManifestFile> allFiles = ReadManifestFiles(manifest, appDir);
    const std::vector<ManifestFile> pendingFiles = SelectPendingFiles(allFiles, index, appDir);
    std::uint64_t totalBytes = 0;
    for (const ManifestFile& file : pendingFiles) {
        totalBytes += file.size;
    }

    // Each file is renamed into place at once and flushed to disk behind the next
    // download. The index records the files only once every flush is done, so a
    // power cut never leaves a recorded file without its content.
    BackgroundFlush flushes;
    DownloadTally tally(pendingFiles.size(), totalBytes, 1);
    const ProgressCallback report = [&tally](std::uint64_t received) {
        ShowDownloadLine(tally.Received(0, received));
    };
    for (const ManifestFile& file : pendingFiles) {
        std::vector<std::uint8_t> bytes;  // one file in memory at a time
        if (!downloadContent(sources, file.sha256, bytes, report, file.size)) {
            flushes.Finish();  // before the launcher may open the files
            if (flow.launcherExists) {
                SetStatus(L"Mise à jour interrompue", L"Lancement de la version installée", 1.0);
                Sleep(kInterruptedPauseMs);
                return LaunchExitCode(appDir, kBenchWouldLaunch);
            }
            SetStatus(kInstallFailed, L"Téléchargement incomplet : relance Zelk.", 0.0);
            return flow.explicitRoot ? kBenchFailed : kFailedOnScreen;
        }
        const fs::path full = appDir / file.path;
        if (!ClearTheWay(appDir, file, index, allFiles)) {
            SetStatus(kInstallFailed, WriteFailureDetail(0, true, file.path), 0.0);
            return kFailedOnScreen;  // a user's own file or a link: nothing is deleted
        }
        std::error_code ignored;
        fs::create_directories(full.parent_path(), ignored);
        if (!flushes.Write(full, bytes)) {
            const DWORD error = GetLastError();
            const bool blocked = FindObstacle(appDir, file.path).obstacle != Obstacle::None;
            SetStatus(kInstallFailed, WriteFailureDetail(error, blocked, file.path), 0.0);
            return kFailedOnScreen;  // in every mode: the user must act
        }
        ShowDownloadLine(tally.Finished(0, file.size));
        index[file.path] = file.sha256;
    }

    flushes.Finish();
    RemoveObsoleteFiles(index, allFiles, appDir);
    // A date without its index would let the next run trust an older record.
    if (WriteInstalledIndex(flow.paths.installedMarker, allFiles)) {
        WriteLastDate(flow.paths.manifestMarker, manifest);
    }

    SetStatus(kHeading, L"Starting Zelk", 1.0);
    if (flow.explicitRoot) {
        return kBenchInstalled;
    }
    Sleep(kBeforeLaunchPauseMs);
    return StartLauncher(appDir) ? kLauncherStarted : kFailedOnScreen;
}

}  // namespace zelk

#include "update/install_release.h"

#include <windows.h>

#include <cstdint>
#include <system_error>

#include "app/launch_options.h"
#include "common/process.h"
#include "common/run_log.h"
#include "common/text.h"
#include "install/background_flush.h"
#include "install/file_helpers.h"
#include "integrity/sha256.h"
#include "net/content.h"
#include "shell/launcher.h"
#include "splash/download_progress.h"
#include "splash/status.h"
#include "update/manifest.h"
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
    if (!downloadContent(sources, record.sha256, fresh, {}, record.size)) {
        Log("bootstrapper ", record.sha256, ": download failed, the installed one stays");
        return BootstrapperOutcome::Unchanged;
    }
    const bool same = SameFile(flow.programPath, flow.paths.exePath);
    const bool movedAside =
        same && MoveFileExW(flow.paths.exePath.c_str(), flow.paths.oldExePath.c_str(),
                            MOVEFILE_REPLACE_EXISTING);
    const bool written = WriteFileAtomically(flow.paths.exePath, fresh);
    if (written) {
        Log("bootstrapper ", record.sha256, ": written to ", flow.paths.exePath);
    } else {
        Log("bootstrapper ", record.sha256, ": not written, error ", GetLastError());
    }
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
            Log("bootstrapper restarted as the new copy");
            return BootstrapperOutcome::Restarted;
        }
    }
    return BootstrapperOutcome::Unchanged;
}

// Index entries that no current file claims. Entries that would name something
// outside the launcher's folder are never touched.
void RemoveObsoleteFiles(const InstalledIndex& index, const std::vector<ManifestFile>& allFiles,
                         const fs::path& appDir) {
    for (const auto& [path, digest] : index) {
        if (!IsSafeRelativePath(std::wstring_view(path))) {
            continue;
        }
        bool current = false;
        for (const ManifestFile& file : allFiles) {
            if (SameRelativePath(file.path, path)) {
                current = true;
                break;
            }
        }
        if (!current) {
            std::error_code ignored;
            fs::remove(appDir / path, ignored);  // a file, or a folder left empty
        }
    }
}

}  // namespace

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
    std::vector<ManifestFile> pending;
    for (const ManifestFile& file : allFiles) {
        const fs::path full = appDir / file.path;
        const auto indexed = index.find(file.path);
        if (indexed == index.end() || indexed->second != file.sha256 || !PathExists(full) ||
            SizeOnDisk(full) != file.size) {
            pending.push_back(file);
        }
    }
    return pending;
}

bool SameRelativePath(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) {
        return false;
    }
    const std::wstring left = WithBackslashes(a), right = WithBackslashes(b);
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

int InstallRelease(const JsonValue& manifest, const std::wstring& releaseFolder,
                   const std::vector<std::wstring>& baseUrls, const FlowContext& flow) {
    const fs::path& appDir = flow.paths.appDir;
    const std::vector<std::wstring> sources = ContentSources(releaseFolder, baseUrls);

    if (UpdateBootstrapper(manifest, sources, flow) == BootstrapperOutcome::Restarted) {
        return kTakenOver;
    }

    InstalledIndex index = ReadInstalledIndex(flow.paths.installedMarker);
    const std::vector<ManifestFile> allFiles = ReadManifestFiles(manifest);
    const std::vector<ManifestFile> pendingFiles = SelectPendingFiles(allFiles, index, appDir);
    std::uint64_t totalBytes = 0;
    for (const ManifestFile& file : pendingFiles) {
        totalBytes += file.size;
    }
    Log("files to fetch: ", pendingFiles.size(), " of ", allFiles.size(), ", ", totalBytes,
        " bytes");

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
        std::wstring source;
        if (!downloadContent(sources, file.sha256, bytes, report, file.size, &source)) {
            Log("file ", file.path, ": no source served it");
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
        std::error_code ignored;
        fs::create_directories(full.parent_path(), ignored);
        if (!flushes.Write(full, bytes)) {
            const DWORD error = GetLastError();
            Log("file ", file.path, ": not written, error ", error);
            SetStatus(kInstallFailed,
                      error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL
                          ? L"Espace disque insuffisant : libère de la place puis relance."
                          : L"Fichier verrouillé : ferme le launcher puis relance.",
                      0.0);
            return kFailedOnScreen;  // in every mode: the user must act
        }
        Log("file ", file.path, ": ", file.size, " bytes from ", source);
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

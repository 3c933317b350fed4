#include "update/install_release.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <system_error>
#include <unordered_set>

#include "app/launch_options.h"
#include "common/process.h"
#include "common/run_log.h"
#include "common/text.h"
#include "common/win_handles.h"
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
// Index lines are forgotten for the next files to be replaced too, up to these, in one
// flushed write: a large update pays a flush per batch, not per file, and a run cut
// short fetches again at most one batch of files it had not yet replaced.
constexpr std::size_t kForgetAheadFiles = 64;
constexpr std::uint64_t kForgetAheadBytes = 8 << 20;

// Size of the file on disk; none when there is no file (nothing, or a folder) or it
// cannot be asked. One query tells both, for each file of every run.
std::optional<std::uint64_t> SizeOnDisk(const fs::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The first bytes of a file, enough for its executable headers.
std::vector<std::uint8_t> ImageHeader(const fs::path& path) {
    constexpr std::size_t kHeaderBytes = 64 * 1024;
    std::vector<std::uint8_t> bytes(kHeaderBytes);
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), bytes.data(), kHeaderBytes, &read, nullptr)) {
        read = 0;
    }
    bytes.resize(read);
    return bytes;
}

enum class BootstrapperOutcome { Unchanged, Restarted };

// Replaces exePath with the release's bootstrapper when it differs. When this
// process runs as exePath, the running image is moved aside first (Windows lets a
// running executable be renamed, not overwritten) and the new copy is started.
BootstrapperOutcome UpdateBootstrapper(const JsonValue& manifest,
                                       const std::vector<std::wstring>& sources,
                                       const FlowContext& flow) {
    const BootstrapperRecord record = ReadBootstrapperRecord(manifest);
    if (record.sha256.empty()) {
        return BootstrapperOutcome::Unchanged;
    }
    {
        std::vector<std::uint8_t> installed;
        ReadWholeFile(flow.paths.exePath, installed);
        if (sha256Hex(installed) == record.sha256) {
            return BootstrapperOutcome::Unchanged;
        }
    }

    SetStatus(kHeading, L"Mise à jour de Zelk.exe", 0.05);
    const fs::path fresh = flow.paths.partialDir / Utf8ToWide(record.sha256);
    if (!downloadContent(*flow.session, sources, record.sha256, record.size, fresh, {}).ok) {
        Log("bootstrapper ", record.sha256, ": download failed, the installed one stays");
        return BootstrapperOutcome::Unchanged;
    }
    // Whatever its digest, only a 64-bit Windows program may take Zelk.exe's place: the
    // shortcuts and zelk:// start it.
    if (!IsX64Executable(ImageHeader(fresh))) {
        Log("bootstrapper ", record.sha256, ": not a 64-bit Windows program, refused");
        RemoveOwnFile(fresh);
        return BootstrapperOutcome::Unchanged;
    }
    const bool same = SameFile(flow.programPath, flow.paths.exePath);
    const bool movedAside =
        same && MoveOwnFile(flow.paths.exePath, flow.paths.oldExePath, MOVEFILE_REPLACE_EXISTING);
    // On disk before the rename makes it Zelk.exe: shortcuts and zelk:// point at it.
    const bool written =
        FlushToDisk(fresh) && MoveOwnFile(fresh, flow.paths.exePath,
                                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (written) {
        Log("bootstrapper ", record.sha256, ": written to ", flow.paths.exePath);
    } else {
        Log("bootstrapper ", record.sha256, ": not written, error ", GetLastError());
    }
    if (movedAside && !written) {
        // Never leave the user without Zelk.exe: shortcuts and zelk:// point at it.
        MoveOwnFile(flow.paths.oldExePath, flow.paths.exePath, 0);
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

}  // namespace

void RemoveObsoleteFiles(const PathMatch& paths, const fs::path& appDir) {
    for (const std::wstring& path : paths.droppedPaths) {
        if (CrossesLink(appDir, path)) {
            continue;
        }
        // By its resolved spelling: the one Windows would use for the raw text anyway.
        RemoveOwnFile(appDir / ResolvedPath(std::wstring_view(path)));
    }
}

namespace {

struct Downloads {
    enum class Outcome { Complete, NotDelivered, NotWritten } outcome = Outcome::Complete;
    DWORD writeError = 0;
    std::wstring failedPath;  // the file that could not be written
    bool blocked = false;     // by what stands on disk, not by a program holding it
};

// The pending files, with up to kMaxTransfers transfers at once. Each content goes
// to its partial file, is moved into place at once when it is whole and verified, and
// is recorded in the index (journal) once the flush behind the downloads has put it on
// disk.
Downloads DownloadPendingFiles(const std::vector<ManifestFile>& pendingFiles,
                               const PathMatch& paths, const std::vector<std::wstring>& sources,
                               const FlowContext& flow) {
    const fs::path& appDir = flow.paths.appDir;
    // One transfer per content: files of the same digest share it.
    std::vector<ContentJob> jobs;
    std::vector<std::vector<const ManifestFile*>> jobFiles;
    std::map<std::string, std::size_t> jobOf;
    std::uint64_t totalBytes = 0;
    for (const ManifestFile& file : pendingFiles) {
        totalBytes += file.size;
        const auto [at, added] = jobOf.emplace(file.sha256, jobs.size());
        if (added) {
            jobs.push_back({file.sha256, file.size});
            jobFiles.emplace_back();
        }
        jobFiles[at->second].push_back(&file);
    }
    Log("files to fetch: ", pendingFiles.size(), " of ", paths.keys.size(), ", ", totalBytes,
        " bytes");

    // Folders first, in manifest order: the letter case a folder gets on disk is that of
    // the first file naming it, whichever transfer ends first. Each folder once.
    std::unordered_set<std::wstring> folders;
    for (const ManifestFile& file : pendingFiles) {
        const fs::path folder = (appDir / file.path).parent_path();
        if (folders.insert(folder.native()).second) {
            CreateOwnFolders(folder);  // never behind a link: the file is then refused
        }
    }

    const IndexJournal journal = OpenIndexJournal(flow.paths.installedMarker);
    DownloadTally tally(pendingFiles.size(), totalBytes, kMaxTransfers);
    BackgroundFlush flushes;  // declared after the journal: done with it before it closes
    CheckedFolders checked;
    Downloads downloads;

    // A file replaced stops being vouched for first, on disk: until its new content is
    // in place and flushed, the index names no content for it. Else an update cut short
    // between the two would leave the old record over the new bytes, and a later release
    // going back to that content would keep them. The files of the jobs that come next
    // go in the same write, unless something may block their way.
    std::vector<bool> forgotten(pendingFiles.size());
    const auto forget = [&](std::size_t job, const ManifestFile& file) {
        std::vector<std::wstring> lines;
        std::size_t files = 0;
        std::uint64_t bytes = 0;
        const auto take = [&](const ManifestFile& next) {
            if (const std::size_t at = &next - pendingFiles.data(); !forgotten[at]) {
                forgotten[at] = true;
                if (const auto old = paths.vouching.find(PathKey(next.path));
                    old != paths.vouching.end()) {
                    lines.insert(lines.end(), old->second.begin(), old->second.end());
                    ++files;
                    bytes += next.size;
                }
            }
        };
        take(file);
        for (std::size_t next = job + 1; next < jobs.size() && !lines.empty() &&
                                         files < kForgetAheadFiles && bytes < kForgetAheadBytes;
             ++next) {
            for (const ManifestFile* ahead : jobFiles[next]) {
                if (FoldersAreClear(appDir, ahead->path, checked)) {
                    take(*ahead);
                }
            }
        }
        ForgetInstalled(journal, lines);
    };

    const auto place = [&](std::size_t job, const fs::path& partial, const ContentFetch& fetch) {
        const std::vector<const ManifestFile*>& files = jobFiles[job];
        for (std::size_t i = 0; i < files.size(); ++i) {
            const ManifestFile& file = *files[i];
            const fs::path full = appDir / file.path;
            downloads.failedPath = file.path;
            // The last path takes the downloaded file itself; others get copies of it,
            // made beside it and outside the launcher's folder.
            fs::path from = partial;
            if (i + 1 < files.size()) {
                // Copied only where nothing stands: never over a link left at that name.
                from = partial.native() + L".copy";
                if ((PathExists(from) && !RemoveOwnFile(from)) ||
                    !CopyFileW(partial.c_str(), from.c_str(), TRUE)) {
                    downloads.writeError = GetLastError();
                    return false;
                }
            }
            // What the index says this update may remove goes first; anything else in
            // the way (a user's own file, a link) stops the update, nothing deleted.
            const auto blocked = [&] {
                if (ClearTheWay(appDir, file, paths)) {
                    return false;
                }
                downloads.blocked = true;
                Log("file ", file.path, ": something else stands in its way");
                return true;
            };
            // Where nothing at all stands yet (every file of a first install), a rename
            // that never replaces is the whole check: it fails if anything, a link
            // included, is there. Looking first would cost lookups of names that do not
            // exist, each a scan of the whole folder under Wine.
            const bool foldersClear = FoldersAreClear(appDir, file.path, checked);
            if (!foldersClear && blocked()) {
                return false;
            }
            forget(job, file);
            const ManifestFile* recorded = &file;
            std::function<void()> durable = [&journal, recorded] {
                AppendIndexLine(journal, *recorded);
            };
            if (foldersClear && MoveFileExW(from.c_str(), full.c_str(), MOVEFILE_WRITE_THROUGH)) {
                flushes.Add(full, std::move(durable));
            } else {
                if (foldersClear && blocked()) {
                    return false;
                }
                CreateOwnFolders(full.parent_path());
                if (!flushes.Place(from, full, std::move(durable))) {
                    downloads.writeError = GetLastError();
                    downloads.blocked = FindObstacle(appDir, file.path).obstacle != Obstacle::None;
                    Log("file ", file.path, ": not written, error ", downloads.writeError);
                    return false;
                }
            }
            Log("file ", file.path, ": ", file.size, " bytes from ", fetch.servedBy);
        }
        return true;
    };
    TransferEvents events;
    events.progress = [&tally](std::size_t slot, std::uint64_t held) {
        ShowDownloadLine(tally.Received(slot, held));
    };
    events.fetched = [&](std::size_t slot, std::size_t job) {
        ShowDownloadLine(
            tally.Finished(slot, jobs[job].size * jobFiles[job].size(), jobFiles[job].size()));
    };
    events.arrived = place;
    const TransfersOutcome outcome =
        FetchContents(*flow.session, sources, jobs, flow.paths.partialDir, events);
    // Before the launcher may open the files, and so that the index names every file
    // that is on disk.
    flushes.Finish();
    if (outcome.refused) {
        downloads.outcome = Downloads::Outcome::NotWritten;
    } else if (!outcome.complete && outcome.failure.writeError != 0) {
        downloads.outcome = Downloads::Outcome::NotWritten;
        downloads.writeError = outcome.failure.writeError;
        downloads.failedPath = jobFiles[outcome.failedJob].front()->path;
        Log("file ", downloads.failedPath, ": not written, error ", downloads.writeError);
    } else if (!outcome.complete) {
        downloads.outcome = Downloads::Outcome::NotDelivered;
        const HttpResult& last = outcome.failure.last;
        Log("file ", jobFiles[outcome.failedJob].front()->path, ": no source served it (",
            DescribeHttpFailure(last.status, last.error), ")");
    }
    return downloads;
}

// Partial downloads of contents this release does not name can never be resumed.
void RemoveUnneededPartials(const fs::path& partialDir, const std::vector<ManifestFile>& allFiles,
                            const BootstrapperRecord& bootstrapper) {
    std::unordered_set<std::wstring> needed;
    for (const ManifestFile& file : allFiles) {
        needed.insert(Utf8ToWide(file.sha256));
    }
    needed.insert(Utf8ToWide(bootstrapper.sha256));
    std::error_code error;
    std::vector<fs::path> unneeded;
    for (fs::directory_iterator it(partialDir, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        if (!needed.contains(it->path().filename().native())) {
            unneeded.push_back(it->path());
        }
    }
    // A folder at such a name goes as a stale file does; a link stays, never entered.
    for (const fs::path& path : unneeded) {
        std::vector<fs::path> left;
        RemoveOwnTree(path, left);
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
                                             const PathMatch& paths, const fs::path& appDir) {
    // Judged by recorded digest and size on disk: no installed content is read.
    std::vector<ManifestFile> pending;
    for (std::size_t i = 0; i < allFiles.size(); ++i) {
        const ManifestFile& file = allFiles[i];
        const auto recorded = paths.recorded.find(paths.keys[i]);
        if (recorded == paths.recorded.end() || recorded->second != file.sha256 ||
            SizeOnDisk(appDir / file.path) != file.size) {
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
    // Every download goes there first: a link in its place would take them elsewhere.
    if (!CreateOwnFolders(flow.paths.partialDir)) {
        const DWORD error = GetLastError();
        Log("partial downloads folder ", flow.paths.partialDir, ": unusable, error ", error);
        SetStatus(kInstallFailed,
                  WriteFailureDetail(error, error != ERROR_DISK_FULL,
                                     flow.paths.partialDir.filename().native()),
                  0.0);
        return kFailedOnScreen;
    }

    if (UpdateBootstrapper(manifest, sources, flow) == BootstrapperOutcome::Restarted) {
        return kTakenOver;
    }

    const std::vector<ManifestFile> allFiles = ReadManifestFiles(manifest, appDir);
    const PathMatch paths = MatchPaths(ReadInstalledIndex(flow.paths.installedMarker), allFiles);
    const std::vector<ManifestFile> pendingFiles = SelectPendingFiles(allFiles, paths, appDir);

    const Downloads downloads = DownloadPendingFiles(pendingFiles, paths, sources, flow);
    if (downloads.outcome == Downloads::Outcome::NotDelivered) {
        if (flow.launcherExists) {
            SetStatus(L"Mise à jour interrompue", L"Lancement de la version installée", 1.0);
            Sleep(kInterruptedPauseMs);
            return LaunchExitCode(appDir, kBenchWouldLaunch);
        }
        SetStatus(kInstallFailed, L"Téléchargement incomplet : relance Zelk.", 0.0);
        return flow.explicitRoot ? kBenchFailed : kFailedOnScreen;
    }
    if (downloads.outcome == Downloads::Outcome::NotWritten) {
        SetStatus(kInstallFailed,
                  WriteFailureDetail(downloads.writeError, downloads.blocked, downloads.failedPath),
                  0.0);
        return kFailedOnScreen;  // in every mode: the user must act
    }
    RemoveObsoleteFiles(paths, appDir);
    // A date without its index would let the next run trust an older record.
    if (WriteInstalledIndex(flow.paths.installedMarker, allFiles)) {
        WriteLastDate(flow.paths.manifestMarker, manifest);
    }
    RemoveUnneededPartials(flow.paths.partialDir, allFiles, ReadBootstrapperRecord(manifest));

    SetStatus(kHeading, L"Starting Zelk", 1.0);
    if (flow.explicitRoot) {
        return kBenchInstalled;
    }
    Sleep(kBeforeLaunchPauseMs);
    return StartLauncher(appDir) ? kLauncherStarted : kFailedOnScreen;
}

}  // namespace zelk

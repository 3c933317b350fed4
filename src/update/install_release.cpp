#include "update/install_release.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "app/launch_options.h"
#include "common/process.h"
#include "common/run_log.h"
#include "common/text.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "integrity/sha256.h"
#include "net/content.h"
#include "shell/launcher.h"
#include "splash/download_progress.h"
#include "splash/status.h"
#include "update/executable_image.h"
#include "update/update_flow.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kHeading[] = L"Mise à jour ...";
constexpr wchar_t kInstallFailed[] = L"Impossible d'installer Zelk";
constexpr DWORD kInterruptedPauseMs = 900;
constexpr DWORD kBeforeLaunchPauseMs = 400;
// Beyond the contents: the index and the date written anew, the pending record and the
// run log. A few hundred bytes a file is far more than an index line takes.
constexpr std::uint64_t kStateBytes = 1 << 20;
constexpr std::uint64_t kStateBytesPerFile = 256;

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

std::uint64_t RoundUp(std::uint64_t bytes, std::uint64_t unit) {
    return unit == 0 ? bytes : (bytes + unit - 1) / unit * unit;
}

enum class BootstrapperOutcome { Unchanged, Restarted };

// Whether the release carries another bootstrapper than the installed one.
bool BootstrapperChanged(const BootstrapperRecord& record, const InstallPaths& paths) {
    if (record.sha256.empty()) {
        return false;
    }
    std::vector<std::uint8_t> installed;
    ReadWholeFile(paths.exePath, installed);
    return sha256Hex(installed) != record.sha256;
}

// Replaces exePath with the release's bootstrapper (which differs). When this process
// runs as exePath, the running image is moved aside first (Windows lets a running
// executable be renamed, not overwritten) and the new copy is started.
BootstrapperOutcome UpdateBootstrapper(const BootstrapperRecord& record,
                                       const std::vector<std::wstring>& sources,
                                       const FlowContext& flow) {
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
        FlushToDisk(fresh) &&
        MoveOwnFile(fresh, flow.paths.exePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
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

// Whether the disk holding the partial downloads has the room pending needs.
bool EnoughSpace(const std::vector<ManifestFile>& pending, std::size_t releaseFiles,
                 const InstallPaths& paths) {
    wchar_t volume[MAX_PATH + 1] = {};
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    ULARGE_INTEGER available{};
    if (!GetVolumePathNameW(paths.partialDir.c_str(), volume, MAX_PATH) ||
        !GetDiskFreeSpaceExW(paths.partialDir.c_str(), &available, nullptr, nullptr)) {
        return true;  // not known: the writes themselves will tell
    }
    if (!GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) {
        sectorsPerCluster = bytesPerSector = 0;
    }
    const std::uint64_t cluster = static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector;
    const std::uint64_t needed = SpaceNeeded(pending, releaseFiles, paths, cluster);
    if (available.QuadPart >= needed) {
        return true;
    }
    Log("disk: ", available.QuadPart, " bytes free, ", needed, " needed");
    return false;
}

// How the download of every pending content ended.
struct Fetched {
    enum class Outcome { Complete, NotDelivered, NotWritten } outcome = Outcome::Complete;
    DWORD writeError = 0;
    std::wstring failedPath;
    NetworkTrouble trouble = NetworkTrouble::None;  // of a content no source served
};

// Every pending content, up to kMaxTransfers at once, into its partial file, verified and
// flushed: nothing of the launcher's folder changes meanwhile. One transfer per content,
// however many files share it.
Fetched FetchPendingContents(const ReleasePlan& plan, const std::vector<std::wstring>& sources,
                             const FlowContext& flow) {
    std::vector<ContentJob> jobs;
    std::vector<std::vector<const ManifestFile*>> jobFiles;
    std::map<std::string, std::size_t> jobOf;
    std::uint64_t totalBytes = 0;
    for (const ManifestFile& file : plan.pending) {
        totalBytes += file.size;
        const auto [at, added] = jobOf.emplace(file.sha256, jobs.size());
        if (added) {
            jobs.push_back({file.sha256, file.size});
            jobFiles.emplace_back();
        }
        jobFiles[at->second].push_back(&file);
        ContentJob& job = jobs[at->second];
        job.blocks = job.blocks.empty() ? file.blocks : job.blocks;
        // With a block map, the file the index records at that path, whatever its
        // version, is the older copy to build from; the map recorded for the content
        // the index names, if any, spares cutting it.
        const auto recorded = plan.paths.recorded.find(PathKey(file.path));
        if (!file.blocks.empty() && job.base.empty() && recorded != plan.paths.recorded.end() &&
            SizeOnDisk(flow.paths.appDir / file.path).value_or(0) > 0) {
            job.base = flow.paths.appDir / file.path;
            job.baseMap = MapRecordPath(flow.paths.partialDir / Utf8ToWide(recorded->second));
        }
    }
    // What each content counts for in the progress: a differential download counts
    // only the bytes its plan fetches (copies for further paths come at the switch).
    std::vector<std::uint64_t> counted(jobs.size());
    for (std::size_t job = 0; job < jobs.size(); ++job) {
        counted[job] = jobs[job].size * jobFiles[job].size();
    }
    Log("files to fetch: ", plan.pending.size(), " of ", plan.allFiles.size(), ", ", totalBytes,
        " bytes");

    DownloadTally tally(plan.pending.size(), totalBytes, kMaxTransfers);
    TransferEvents events;
    events.progress = [&tally](std::size_t slot, std::uint64_t held) {
        ShowDownloadLine(tally.Received(slot, held));
    };
    // Each job's entry is only touched by the transfer that holds the job.
    events.planned = [&](std::size_t, std::size_t job, std::uint64_t bytes) {
        const std::uint64_t now = bytes + jobs[job].size * (jobFiles[job].size() - 1);
        ShowDownloadLine(tally.Retotal(counted[job], now));
        counted[job] = now;
    };
    events.fetched = [&](std::size_t slot, std::size_t job) {
        ShowDownloadLine(tally.Finished(slot, counted[job], jobFiles[job].size()));
    };
    events.arrived = [&](std::size_t job, const fs::path&, const ContentFetch& fetch) {
        const ManifestFile& first = *jobFiles[job].front();
        if (fetch.fromBlocks) {
            Log("file ", first.path, ": built from blocks of ", jobs[job].base, ": ",
                fetch.blockFetched, " bytes to fetch in ranges (", fetch.blockRanges,
                " requests this run), ", fetch.blockCopied, " copied; older copy ",
                fetch.blockBaseRecorded ? "known by its recorded map" : "cut", " in ",
                fetch.blockCutMs / 1000.0, " s, file built in ", fetch.blockBuildMs / 1000.0,
                " s, of which hashing ", fetch.blockHashMs / 1000.0, " s");
        } else if (!fetch.fallback.empty()) {
            Log("file ", first.path, ": not built from blocks: ", fetch.fallback,
                "; fetched whole");
        }
        for (const ManifestFile* file : jobFiles[job]) {
            Log("file ", file->path, ": ", file->size, " bytes from ", fetch.servedBy);
        }
        return true;
    };
    const TransfersOutcome outcome =
        FetchContents(*flow.session, sources, jobs, flow.paths.partialDir, events);
    Fetched fetched;
    if (outcome.complete) {
        return fetched;
    }
    fetched.failedPath = jobFiles[outcome.failedJob].front()->path;
    if (outcome.failure.writeError != 0) {
        fetched.outcome = Fetched::Outcome::NotWritten;
        fetched.writeError = outcome.failure.writeError;
        Log("file ", fetched.failedPath, ": not written, error ", fetched.writeError);
    } else {
        fetched.outcome = Fetched::Outcome::NotDelivered;
        fetched.trouble = outcome.failure.troubles.Reason();
        const HttpResult& last = outcome.failure.last;
        if (!outcome.failure.fallback.empty()) {
            Log("file ", fetched.failedPath, ": not built from blocks: ", outcome.failure.fallback);
        }
        Log("file ", fetched.failedPath, ": no source served it (",
            DescribeHttpFailure(last.status, last.error), ")");
    }
    return fetched;
}

// Partial downloads of contents this release does not name can never be resumed. The
// block map records of its contents stay, for the next update of their files.
void RemoveUnneededPartials(const fs::path& partialDir, const std::vector<ManifestFile>& allFiles,
                            const BootstrapperRecord& bootstrapper) {
    std::unordered_set<std::wstring> needed;
    for (const ManifestFile& file : allFiles) {
        needed.insert(Utf8ToWide(file.sha256));
        if (!file.blocks.empty()) {
            needed.insert(MapRecordPath(Utf8ToWide(file.sha256)).native());
        }
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

int WriteFailed(DWORD error, bool blocked, std::wstring_view path) {
    SetStatus(kInstallFailed, WriteFailureDetail(error, blocked, path), 0.0);
    return kFailedOnScreen;  // in every mode: the user must act
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

std::uint64_t SpaceNeeded(const std::vector<ManifestFile>& pending, std::size_t releaseFiles,
                          const InstallPaths& paths, std::uint64_t clusterBytes) {
    std::uint64_t needed = kStateBytes + kStateBytesPerFile * releaseFiles;
    std::unordered_set<std::string> seen;
    for (const ManifestFile& file : pending) {
        if (!seen.insert(file.sha256).second) {
            needed += RoundUp(file.size, clusterBytes);  // a copy, made at the switch
            continue;
        }
        const std::uint64_t already = SizeOnDisk(PartialFile(paths, file)).value_or(0);
        needed += RoundUp(file.size, clusterBytes) -
                  std::min(RoundUp(already, clusterBytes), RoundUp(file.size, clusterBytes));
    }
    return needed;
}

int InstallRelease(const ManifestSearch& accepted, const std::vector<std::wstring>& baseUrls,
                   const FlowContext& flow) {
    const ReleaseManifest& release = accepted.release;
    const InstallPaths& paths = flow.paths;
    const std::vector<std::wstring> sources = ContentSources(accepted.releaseFolder, baseUrls);
    // Every download goes there first: a link in its place would take them elsewhere.
    if (!CreateOwnFolders(paths.partialDir)) {
        const DWORD error = GetLastError();
        Log("partial downloads folder ", paths.partialDir, ": unusable, error ", error);
        return WriteFailed(error, error != ERROR_DISK_FULL, paths.partialDir.filename().native());
    }

    const BootstrapperRecord& bootstrapper = release.bootstrapper;
    const ReleasePlan plan = PlanRelease(release, paths);
    // Before anything is fetched or touched: a disk too full for the whole release fails
    // now, not halfway.
    const bool newBootstrapper = BootstrapperChanged(bootstrapper, paths);
    std::vector<ManifestFile> contents = plan.pending;
    if (newBootstrapper) {
        contents.push_back({L"", bootstrapper.sha256, bootstrapper.size});
    }
    if (!EnoughSpace(contents, plan.allFiles.size(), paths)) {
        return WriteFailed(ERROR_DISK_FULL, false, {});
    }

    if (newBootstrapper &&
        UpdateBootstrapper(bootstrapper, sources, flow) == BootstrapperOutcome::Restarted) {
        return kTakenOver;
    }

    const Fetched fetched = FetchPendingContents(plan, sources, flow);
    if (fetched.outcome == Fetched::Outcome::NotDelivered) {
        // Nothing was replaced: the installed release, if any, is whole. What the user
        // can do about the network, if anything, takes the place of the detail.
        const wchar_t* troubleDetail = TroubleDetail(fetched.trouble);
        if (flow.launcherExists) {
            SetStatus(
                L"Mise à jour interrompue",
                troubleDetail != nullptr ? troubleDetail : L"Lancement de la version installée",
                1.0);
            Sleep(kInterruptedPauseMs);
            return LaunchExitCode(paths.appDir, kBenchWouldLaunch);
        }
        SetStatus(
            kInstallFailed,
            troubleDetail != nullptr ? troubleDetail : L"Téléchargement incomplet : relance Zelk.",
            0.0);
        return flow.explicitRoot ? kBenchFailed : kFailedOnScreen;
    }
    if (fetched.outcome == Fetched::Outcome::NotWritten) {
        return WriteFailed(fetched.writeError, false, fetched.failedPath);
    }

    // Whatever stands in a file's way and may not go stops the update before the first
    // file is replaced: the installed release stays whole.
    if (const ManifestFile* blocked = FindBlockedFile(plan, paths.appDir)) {
        Log("file ", blocked->path, ": something else stands in its way");
        return WriteFailed(ERROR_ALREADY_EXISTS, true, blocked->path);
    }
    const SwitchOutcome switched =
        SwitchRelease(plan, {accepted.manifestBytes, accepted.signature}, release, paths);
    if (!switched.complete) {
        return WriteFailed(switched.error, switched.blocked, switched.failedPath);
    }
    RemoveUnneededPartials(paths.partialDir, plan.allFiles, bootstrapper);

    SetStatus(kHeading, L"Starting Zelk", 1.0);
    if (flow.explicitRoot) {
        return kBenchInstalled;
    }
    Sleep(kBeforeLaunchPauseMs);
    return StartLauncher(paths.appDir) ? kLauncherStarted : kFailedOnScreen;
}

}  // namespace zelk

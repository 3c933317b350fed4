#include "update/release_switch.h"

#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "common/run_log.h"
#include "common/text.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "integrity/sha256.h"
#include "integrity/signature.h"
#include "update/manifest_rules.h"
#include "update/path_rules.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

// Whether the file at path holds exactly size bytes whose digest is sha256: read and
// hashed, for the rare run that finishes an interrupted switch.
bool HoldsContent(const fs::path& path, const std::string& sha256, std::uint64_t size) {
    if (SizeOnDisk(path) != size) {
        return false;
    }
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    const Sha256Stream hash = Sha256Begin();
    if (!file || !hash || !Sha256AddFile(hash, file.get(), size)) {
        return false;
    }
    return Sha256FinishHex(hash) == sha256;
}

bool FailWith(SwitchOutcome& outcome, DWORD error, bool blocked, std::wstring path) {
    outcome.error = error != 0 ? error : ERROR_GEN_FAILURE;
    outcome.blocked = blocked;
    outcome.failedPath = std::move(path);
    return false;
}

// The steps of SwitchFiles on disk, for one switch.
class DiskSwitch {
public:
    DiskSwitch(const ReleasePlan& plan, const InstallPaths& paths)
        : plan_(plan), paths_(paths), journal_(OpenIndexJournal(paths.installedMarker)) {
        // The last path of a content takes its partial file; the others get copies.
        for (const ManifestFile& file : plan.pending) {
            ++uses_[file.sha256];
        }
    }

    SwitchSteps Steps() {
        return {[this](const std::vector<const ManifestFile*>& files) { return Forget(files); },
                [this](const ManifestFile& file) { return Place(file); },
                [this](const ManifestFile& file) { AppendIndexLine(journal_, file); }};
    }

    // The journal goes before the index is written whole over it.
    void Close() { journal_.file.reset(); }

    SwitchOutcome outcome;

private:
    bool Forget(const std::vector<const ManifestFile*>& files) {
        std::vector<std::wstring> lines;
        for (const ManifestFile* file : files) {
            const auto found = plan_.paths.vouching.find(PathKey(file->path));
            if (found != plan_.paths.vouching.end()) {
                lines.insert(lines.end(), found->second.begin(), found->second.end());
            }
        }
        // Fails closed: without a durable "no content" line, no file is replaced.
        if (!ForgetInstalled(journal_, lines)) {
            Log("index ", paths_.installedMarker, ": old records not forgotten, error ",
                GetLastError());
            return FailWith(outcome, GetLastError(), false, files.front()->path);
        }
        return true;
    }

    bool Place(const ManifestFile& file) {
        const fs::path appDir = paths_.appDir;
        const fs::path full = appDir / file.path;
        fs::path from = PartialFile(paths_, file);
        if (--uses_[file.sha256] > 0) {
            // Copied beside the partial file, where nothing stands (not even a link left
            // at that name), and on disk before the rename makes it a release file.
            const fs::path copy = from.native() + L".copy";
            if ((PathExists(copy) && !RemoveOwnFile(copy)) ||
                !CopyFileW(from.c_str(), copy.c_str(), TRUE) || !FlushToDisk(copy)) {
                return FailWith(outcome, GetLastError(), false, file.path);
            }
            from = copy;
        }
        // Folders first: a file where a folder goes is cleared when the index lets it go,
        // and never made behind a link.
        if (!FoldersAreClear(appDir, file.path, checked_) &&
            !(ClearTheWay(appDir, file, plan_.paths) && CreateOwnFolders(full.parent_path()) &&
              FoldersAreClear(appDir, file.path, checked_))) {
            Log("file ", file.path, ": something else stands in its way");
            return FailWith(outcome, GetLastError(), true, file.path);
        }
        // The folders are real folders of Zelk's (FoldersAreClear): the rename itself
        // replaces the old file, or a link standing at the name, never following it. A
        // folder standing there is cleared when the index lets it go.
        constexpr DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
        if (MoveFileExW(from.c_str(), full.c_str(), kReplace)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (FindObstacle(appDir, file.path).obstacle != Obstacle::None &&
            ClearTheWay(appDir, file, plan_.paths) &&
            MoveFileExW(from.c_str(), full.c_str(), kReplace)) {
            return true;
        }
        const bool blocked = FindObstacle(appDir, file.path).obstacle != Obstacle::None;
        Log("file ", file.path, ": not put in place, error ", error);
        return FailWith(outcome, error, blocked, file.path);
    }

    const ReleasePlan& plan_;
    const InstallPaths& paths_;
    IndexJournal journal_;
    CheckedFolders checked_;
    std::unordered_map<std::string, std::size_t> uses_;
};

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

ReleasePlan PlanRelease(const ReleaseManifest& release, const InstallPaths& paths) {
    ReleasePlan plan;
    plan.allFiles = release.files;
    plan.paths = MatchPaths(ReadInstalledIndex(paths.installedMarker), plan.allFiles);
    plan.pending = SelectPendingFiles(plan.allFiles, plan.paths, paths.appDir);
    return plan;
}

fs::path PartialFile(const InstallPaths& paths, const ManifestFile& file) {
    return paths.partialDir / Utf8ToWide(file.sha256);
}

const ManifestFile* FindBlockedFile(const ReleasePlan& plan, const fs::path& appDir) {
    CheckedFolders checked;
    for (const ManifestFile& file : plan.pending) {
        // A recorded name exists as a rule, so asking what stands there costs no scan.
        bool clear = FoldersAreClear(appDir, file.path, checked);
        if (clear && plan.paths.recorded.contains(PathKey(file.path))) {
            const DWORD attributes = GetFileAttributesW((appDir / file.path).c_str());
            clear = attributes == INVALID_FILE_ATTRIBUTES ||
                    !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
        }
        if (!clear && !WayCanBeCleared(appDir, file, plan.paths)) {
            return &file;
        }
    }
    return nullptr;
}

SwitchProgress SwitchFiles(const std::vector<ManifestFile>& pending, const PathMatch& paths,
                           const SwitchSteps& steps) {
    SwitchProgress progress;
    // Every old record first, in one durable write: the new contents are all on disk
    // already, so a run cut short after it fetches nothing again.
    std::vector<const ManifestFile*> replaced;
    for (const ManifestFile& file : pending) {
        if (paths.vouching.contains(PathKey(file.path))) {
            replaced.push_back(&file);
        }
    }
    if (!replaced.empty() && !steps.forget(replaced)) {
        progress.failed = replaced.front();
        return progress;
    }
    for (const ManifestFile& file : pending) {
        if (!steps.place(file)) {
            progress.failed = &file;
            return progress;
        }
        ++progress.placed;
        steps.record(file);
    }
    progress.complete = true;
    return progress;
}

SwitchOutcome SwitchRelease(const ReleasePlan& plan, const PendingSwitch& pending,
                            const ReleaseManifest& release, const InstallPaths& paths) {
    const DWORD began = GetTickCount();
    SwitchOutcome outcome;
    if (!WritePendingSwitch(paths, pending)) {
        FailWith(outcome, GetLastError(), false, {});
        Log("pending release ", paths.pendingManifest, ": not written, error ", outcome.error);
        return outcome;
    }
    DiskSwitch disk(plan, paths);
    const SwitchProgress progress = SwitchFiles(plan.pending, plan.paths, disk.Steps());
    disk.Close();
    if (!progress.complete) {
        if (progress.placed == 0) {
            ClearPendingSwitch(paths);  // nothing replaced: the installed release is whole
        }
        return disk.outcome;
    }
    RemoveObsoleteFiles(plan.paths, paths.appDir);
    // A date without its index would let the next run trust an older record.
    if (!WriteInstalledIndex(paths.installedMarker, plan.allFiles) ||
        !WriteLastDate(paths.manifestMarker, release.date) || !ClearPendingSwitch(paths)) {
        FailWith(outcome, GetLastError(), false, {});
        Log("state files: not written, error ", outcome.error);
        return outcome;
    }
    Log("switched ", plan.pending.size(), " files in ", (GetTickCount() - began) / 1000.0, " s");
    outcome.complete = true;
    return outcome;
}

Interrupted FinishInterruptedSwitch(const InstallPaths& paths, const std::string& lastDate) {
    if (!IsSwitchPending(paths)) {
        return Interrupted::None;
    }
    const PendingSwitch pending = ReadPendingSwitch(paths);
    JsonValue manifest;
    const std::vector<std::uint8_t> signature = decodeSignature(std::string_view(
        reinterpret_cast<const char*>(pending.signature.data()), pending.signature.size()));
    if (!verifyManifestSignature(pending.manifest, signature) ||
        !parseJson(pending.manifest, manifest) || manifest.type != JsonType::Object) {
        Log("pending release: its record does not verify, the launcher does not count as "
            "installed");
        return Interrupted::Unfinished;
    }
    const ReleaseManifest release = ReadReleaseManifest(manifest, paths.appDir);
    if (!IsTimestamp(release.date) || release.date < lastDate) {
        Log("pending release ", release.date, ": older than the installed one, never finished");
        return Interrupted::Unfinished;
    }
    ReleasePlan plan = PlanRelease(release, paths);
    // What the cut-short run put in place and could not record yet is recorded now; the
    // rest must be whole in its partial file.
    {
        const IndexJournal journal = OpenIndexJournal(paths.installedMarker);
        std::vector<ManifestFile> left;
        for (ManifestFile& file : plan.pending) {
            if (HoldsContent(paths.appDir / file.path, file.sha256, file.size)) {
                AppendIndexLine(journal, file);
            } else {
                left.push_back(std::move(file));
            }
        }
        plan.pending = std::move(left);
    }
    for (const ManifestFile& file : plan.pending) {
        if (!HoldsContent(PartialFile(paths, file), file.sha256, file.size)) {
            Log("pending release ", release.date, ": ", file.path,
                " is not on disk, the launcher does not count as installed");
            return Interrupted::Unfinished;
        }
    }
    if (FindBlockedFile(plan, paths.appDir) != nullptr ||
        !SwitchRelease(plan, pending, release, paths).complete) {
        return Interrupted::Unfinished;
    }
    Log("pending release ", release.date, ": switch finished");
    return Interrupted::Finished;
}

bool IsInstalled(const InstallPaths& paths) {
    return PathExists(paths.launcherExe) && !ReadLastDate(paths.manifestMarker).empty() &&
           !IsSwitchPending(paths);
}

}  // namespace zelk

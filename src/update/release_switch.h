#pragma once
// Putting a release in place. Every content a release needs is first downloaded and
// verified into the partial downloads' folder; only then are the files of the launcher's
// folder replaced, one rename each. So the launcher only ever starts on a whole release:
// the one installed before, or the new one. While the files are replaced, the accepted
// manifest and its signature stay on disk (PendingSwitch): a run cut short there (a kill,
// a power cut) is finished by the next one from the partial files it already holds,
// offline included, and until then no launcher counts as installed.

#include <windows.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "install/paths.h"
#include "json/json.h"
#include "update/manifest.h"
#include "update/release_paths.h"
#include "update/state_files.h"

namespace zelk {

// The entries of allFiles to put in place, in manifest order: those the index does not
// record with the same digest (under any spelling of the same file: paths, made by
// MatchPaths from the index and allFiles), and those whose file in appDir is missing or
// has another size (a file the user deleted or that was cut short is repaired). The
// content of an installed file is never read.
std::vector<ManifestFile> SelectPendingFiles(const std::vector<ManifestFile>& allFiles,
                                             const PathMatch& paths,
                                             const std::filesystem::path& appDir);

// Removes the files the index records and the release no longer lists
// (paths.droppedPaths), compared as Windows resolves paths: an older spelling of a
// current file ("keep.txt.", "d//x") is that file. Index entries that name nothing
// usable (a device, something outside appDir) and removals that would go through a
// link or junction are never touched. Failures are ignored; folders left empty stay.
void RemoveObsoleteFiles(const PathMatch& paths, const std::filesystem::path& appDir);

// A release held against what is installed.
struct ReleasePlan {
    std::vector<ManifestFile> allFiles;
    PathMatch paths;
    std::vector<ManifestFile> pending;
};

ReleasePlan PlanRelease(const ReleaseManifest& release, const InstallPaths& paths);

// Where the content of file waits until it is put in place.
std::filesystem::path PartialFile(const InstallPaths& paths, const ManifestFile& file);

// Before the first file is replaced: the first pending file whose way something stands
// in that the update may not remove (a user's file or folder, a link), else null. Files
// the index does not record are only looked at through their folders (a name that does
// not exist costs a scan of its folder under Wine): what stands at such a name itself
// still stops the switch when it is met, cleanly.
const ManifestFile* FindBlockedFile(const ReleasePlan& plan, const std::filesystem::path& appDir);

// The three steps the switch takes, in the one order that keeps the index true: the old
// records of every file to be replaced are forgotten, durably, before the first rename
// (a cut between a replacement and its record must never leave the old record over new
// bytes); then each file is put in place, then recorded. SwitchRelease uses the disk;
// tests record.
struct SwitchSteps {
    // False: the index still vouches for the old content, so nothing may be replaced.
    std::function<bool(const std::vector<const ManifestFile*>& replaced)> forget;
    std::function<bool(const ManifestFile& file)> place;
    std::function<void(const ManifestFile& file)> record;
};

struct SwitchProgress {
    bool complete = false;
    std::size_t placed = 0;                // files put in place
    const ManifestFile* failed = nullptr;  // the file the switch stopped at
};

SwitchProgress SwitchFiles(const std::vector<ManifestFile>& pending, const PathMatch& paths,
                           const SwitchSteps& steps);

// How a switch on disk ended.
struct SwitchOutcome {
    bool complete = false;
    DWORD error = 0;          // when not complete
    bool blocked = false;     // by what stands on disk, not by a program holding a file
    std::wstring failedPath;  // the release file it stopped at; empty for the state files
};

// Writes the pending record, forgets the old records, puts every pending file in place
// from its partial file (copies for the other paths of a content), records each, removes
// the files the release dropped, writes the index and the date, and clears the record.
// Cut short, it leaves the record for FinishInterruptedSwitch; stopped before the first
// file was replaced, it clears the record again (the installed release is still whole).
SwitchOutcome SwitchRelease(const ReleasePlan& plan, const PendingSwitch& pending,
                            const ReleaseManifest& release, const InstallPaths& paths);

enum class Interrupted {
    None,        // no switch was pending
    Finished,    // a pending switch is complete now
    Unfinished,  // one is pending still: no launcher counts as installed
};

// At the start of a run: finishes a switch that an earlier run left pending, when its
// record verifies (signature, not older than lastDate) and every file it still has to
// put in place is either whole in its partial file or already in place (hashed).
Interrupted FinishInterruptedSwitch(const InstallPaths& paths, const std::string& lastDate);

// Whether the launcher's folder holds a release that was completely put in place: the
// launcher is there, the release's date is written, and no switch is pending.
bool IsInstalled(const InstallPaths& paths);

}  // namespace zelk

#pragma once
// Brings the installation in line with an accepted release and starts the launcher.

#include <string>
#include <vector>

#include "install/paths.h"
#include "json/json.h"
#include "net/http_client.h"
#include "update/manifest.h"
#include "update/release_paths.h"
#include "update/state_files.h"

namespace zelk {

// What the update flow knows when it hands over to the installation.
struct FlowContext {
    const HttpSession* session = nullptr;  // every request of the run goes through it
    std::wstring programPath;              // the running executable
    InstallPaths paths;
    bool explicitRoot = false;
    bool launcherExists = false;
    std::uint64_t lockWaitMs = 0;  // how long another update of the data root held this one
};

// Servers to fetch content from: the folder that served the manifest first, then
// the "release" folder of every other server of the search.
std::vector<std::wstring> ContentSources(const std::wstring& releaseFolder,
                                         const std::vector<std::wstring>& baseUrls);

// The entries of allFiles to download, in manifest order: those the index does not
// record with the same digest (under any spelling of the same file: paths, made by
// MatchPaths from the index and allFiles), and those whose file in appDir is missing or
// has another size (a file the user deleted or that was cut short is repaired). The
// content of an installed file is never read.
std::vector<ManifestFile> SelectPendingFiles(const std::vector<ManifestFile>& allFiles,
                                             const PathMatch& paths,
                                             const std::filesystem::path& appDir);

// Whether two relative paths name the same file as Windows resolves them: letter
// case, "/" versus "\", "." names, doubled separators and trailing dots do not
// matter. A path that names nothing usable is the same as no other.
bool SameRelativePath(const std::wstring& a, const std::wstring& b);

// Removes the files the index records and the release no longer lists
// (paths.droppedPaths), compared as Windows resolves paths: an older spelling of a
// current file ("keep.txt.", "d//x") is that file. Index entries that name nothing
// usable (a device, something outside appDir) and removals that would go through a
// link or junction are never touched. Failures are ignored; folders left empty stay.
void RemoveObsoleteFiles(const PathMatch& paths, const std::filesystem::path& appDir);

// Replaces the bootstrapper when the release carries another one, downloads the
// missing or changed files, removes dropped ones, records the state and starts
// the launcher. Returns the update flow's result.
int InstallRelease(const JsonValue& manifest, const std::wstring& releaseFolder,
                   const std::vector<std::wstring>& baseUrls, const FlowContext& flow);

}  // namespace zelk

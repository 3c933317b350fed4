#pragma once
// Brings the installation in line with an accepted release and starts the launcher.

#include <cstdint>
#include <string>
#include <vector>

#include "install/paths.h"
#include "net/http_client.h"
#include "update/manifest.h"
#include "update/manifest_search.h"
#include "update/release_paths.h"
#include "update/release_switch.h"
#include "update/state_files.h"

namespace zelk {

// What the update flow knows when it hands over to the installation.
struct FlowContext {
    const HttpSession* session = nullptr;  // every request of the run goes through it
    std::wstring programPath;              // the running executable
    InstallPaths paths;
    bool explicitRoot = false;
    bool launcherExists = false;   // a whole release is installed (IsInstalled)
    std::uint64_t lockWaitMs = 0;  // how long another update of the data root held this one
};

// Servers to fetch content from: the folder that served the manifest first, then
// the "release" folder of every other server of the search.
std::vector<std::wstring> ContentSources(const std::wstring& releaseFolder,
                                         const std::vector<std::wstring>& baseUrls);

// The bytes the disk must have free to install pending, the files still to put in place
// of a release of releaseFiles files: every content still to fetch (less what its
// partial file holds), a copy for each further path of a content, each rounded up to
// whole clusters, and room for the state files.
std::uint64_t SpaceNeeded(const std::vector<ManifestFile>& pending, std::size_t releaseFiles,
                          const InstallPaths& paths, std::uint64_t clusterBytes);

// Replaces the bootstrapper when the release carries another one, downloads every
// missing or changed file into the partial downloads' folder, and only then puts them
// in place (SwitchRelease), removes dropped ones, records the state and starts the
// launcher. Returns the update flow's result.
// accepted: the search that accepted the release (its record, the manifest's bytes and
// signature, kept while the release is put in place, and the folder that served it).
int InstallRelease(const ManifestSearch& accepted, const std::vector<std::wstring>& baseUrls,
                   const FlowContext& flow);

}  // namespace zelk

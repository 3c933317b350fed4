#pragma once
// Brings the installation in line with an accepted release and starts the launcher.

#include <string>
#include <vector>

#include "install/paths.h"
#include "json/json.h"

namespace zelk {

// What the update flow knows when it hands over to the installation.
struct FlowContext {
    std::wstring programPath;  // the running executable
    InstallPaths paths;
    bool explicitRoot = false;
    bool launcherExists = false;
};

// Servers to fetch content from: the folder that served the manifest first, then
// the "release" folder of every other server of the search.
std::vector<std::wstring> ContentSources(const std::wstring& releaseFolder,
                                         const std::vector<std::wstring>& baseUrls);

// Whether two relative paths name the same file as the file system sees them:
// letter case and "/" versus "\" do not matter.
bool SameRelativePath(const std::wstring& a, const std::wstring& b);

// Replaces the bootstrapper when the release carries another one, downloads the
// missing or changed files, removes dropped ones, records the state and starts
// the launcher. Returns the update flow's result.
int InstallRelease(const JsonValue& manifest, const std::wstring& releaseFolder,
                   const std::vector<std::wstring>& baseUrls, const FlowContext& flow);

}  // namespace zelk

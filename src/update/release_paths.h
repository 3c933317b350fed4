#pragma once
// Release paths as Windows sees them: one key for every spelling of the same file,
// and what stands on disk in the way of a release file (a file where a folder is
// needed, a folder where a file is needed, a link or junction on the way).

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "update/manifest.h"
#include "update/state_files.h"

namespace zelk {

// The path as Windows resolves it below a folder (ResolvedPath), upper-cased as the
// file system compares names. Two paths name the same file exactly when their keys
// are equal. Empty for a path that names nothing usable: it is never compared,
// written or removed.
std::wstring PathKey(std::wstring_view path);

// The release's files and the index of installed files matched by PathKey, once per
// run: every later decision that pairs a path of one with a path of the other is a
// single lookup, so a run costs the same per file however many files there are.
struct PathMatch {
    std::vector<std::wstring> keys;  // of each file of the release, in its order
    // Key of a file of the release -> the digest the index records for it: the line
    // with the release's own spelling, else the last (in the index's order) of another.
    std::unordered_map<std::wstring, std::string> recorded;
    // Key of a file of the release -> every index path of it that names a content: the
    // lines to forget before the file is replaced.
    std::unordered_map<std::wstring, std::vector<std::wstring>> vouching;
    // Keys the index records and the release no longer lists, and every index path
    // that has one of them, in the index's order.
    std::unordered_set<std::wstring> dropped;
    std::vector<std::wstring> droppedPaths;
};

PathMatch MatchPaths(const InstalledIndex& index, const std::vector<ManifestFile>& allFiles);

enum class Obstacle {
    None,
    FileForFolder,  // a file (or the launcher's folder itself) where a folder is needed
    FolderForFile,  // a folder where the file belongs
    Link,           // a reparse point (link, junction) that a write would go through
};

struct InTheWay {
    Obstacle obstacle = Obstacle::None;
    std::wstring path;  // what stands there, relative to appDir, "\" between names
};

// What keeps the usable release path from being written as a file below appDir:
// checked from appDir itself down to the file. (The file's bytes are written outside
// appDir, in the partial downloads' folder, and only renamed to it.)
InTheWay FindObstacle(const std::filesystem::path& appDir, std::wstring_view path);

// Before a release file is written: when a file or a folder stands in its way and
// everything in it is recorded in the index as installed while the release no
// longer lists it (paths.dropped), removes that and returns true. Returns false,
// deleting nothing, when anything else is in the way: a user's own file, a link. True
// when the way was clear already.
bool ClearTheWay(const std::filesystem::path& appDir, const ManifestFile& file,
                 const PathMatch& paths);

// Whether ClearTheWay would find the way clear, or clear it: what stands in the way is
// only what the index records and the release drops. Removes nothing: asked of every
// file before the first one is replaced.
bool WayCanBeCleared(const std::filesystem::path& appDir, const ManifestFile& file,
                     const PathMatch& paths);

// Folders below appDir found during one run to be real folders (neither a file nor a
// link or junction), by key: a release of many files in few folders looks at each
// folder once, not once per file.
struct CheckedFolders {
    std::unordered_set<std::wstring> keys;
};

// Whether every folder on the way to the usable release path, not the path itself,
// is a real folder below appDir (appDir itself is not judged). Folders found so are
// remembered in checked and not looked at again.
bool FoldersAreClear(const std::filesystem::path& appDir, std::wstring_view path,
                     CheckedFolders& checked);

// Whether a removal of appDir / path (resolved) would go through a reparse point,
// or remove one, below appDir.
bool CrossesLink(const std::filesystem::path& appDir, std::wstring_view path);

// The detail shown when the release file at path cannot be written: a full disk, a
// path that what is on disk makes unusable (nothing the user closes would help), or
// else a file held open by another program.
std::wstring WriteFailureDetail(DWORD error, bool pathBlocked, std::wstring_view path);

}  // namespace zelk

#include "update/release_paths.h"

#include "common/text.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "update/path_rules.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kTemporarySuffix[] = L".tmp";

// Empty when the text cannot be folded: such a path is never compared, written or removed.
std::wstring UpperCase(std::wstring_view text) {
    return UpperCaseName(text);
}

DWORD AttributesOf(const fs::path& path) {
    return GetFileAttributesW(path.c_str());
}

// Whether appDir / part (a resolved relative path) exists and is a link or junction,
// or leads through one (IsLinkBelowRoot, which also sees Wine's links to files).
bool IsLinkAt(const fs::path& appDir, const std::wstring& part) {
    const DWORD attributes = AttributesOf(appDir / part);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || IsLinkBelowRoot(appDir / part));
}

using KeySet = std::unordered_set<std::wstring>;

// Whether a file below the folder in the way may go: a dropped file, or a temporary
// file a failed write of one left behind.
bool IsDroppedFile(const std::wstring& relative, const KeySet& dropped) {
    const std::wstring key = UpperCase(relative);
    constexpr size_t suffix = std::size(kTemporarySuffix) - 1;
    return dropped.count(key) != 0 ||
           (key.size() > suffix && key.ends_with(UpperCase(kTemporarySuffix)) &&
            dropped.count(key.substr(0, key.size() - suffix)) != 0);
}

// Lists what the folder holds when all of it may go, folders before what they hold;
// false as soon as it holds anything else, a link above all.
bool CollectDropped(const fs::path& appDir, const std::wstring& relative, const KeySet& dropped,
                    std::vector<fs::path>& files, std::vector<fs::path>& folders) {
    const fs::path folder = appDir / relative;
    WIN32_FIND_DATAW found{};
    UniqueFind search(FindFirstFileW((folder / L"*").c_str(), &found));
    if (!search) {
        return false;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring inner = relative + L"\\" + name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || IsLinkAt(appDir, inner)) {
            return false;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            folders.push_back(folder / name);
            if (!CollectDropped(appDir, inner, dropped, files, folders)) {
                return false;
            }
        } else if (IsDroppedFile(inner, dropped)) {
            files.push_back(folder / name);
        } else {
            return false;
        }
    } while (FindNextFileW(search.get(), &found));
    return true;
}

bool RemoveDroppedFolder(const fs::path& appDir, const std::wstring& relative,
                         const KeySet& dropped) {
    const fs::path folder = appDir / relative;
    std::vector<fs::path> files, folders;
    if (!CollectDropped(appDir, relative, dropped, files, folders)) {
        return false;
    }
    for (const fs::path& file : files) {
        if (!RemoveOwnFile(file)) {
            return false;
        }
    }
    for (auto inner = folders.rbegin(); inner != folders.rend(); ++inner) {
        if (!RemoveOwnFile(*inner)) {
            return false;
        }
    }
    return RemoveOwnFile(folder);
}

}  // namespace

std::wstring PathKey(std::wstring_view path) {
    return UpperCase(ResolvedPath(path));
}

PathMatch MatchPaths(const InstalledIndex& index, const std::vector<ManifestFile>& allFiles) {
    PathMatch match;
    match.keys.reserve(allFiles.size());
    // Key -> the release's spelling of it (the first file with that key, as the
    // manifest reader keeps it).
    std::unordered_map<std::wstring, const std::wstring*> listed;
    listed.reserve(allFiles.size());
    for (const ManifestFile& file : allFiles) {
        match.keys.push_back(PathKey(file.path));
        if (!match.keys.back().empty()) {
            listed.emplace(match.keys.back(), &file.path);
        }
    }
    KeySet exact;  // keys recorded under the release's own spelling
    for (const auto& [path, digest] : index) {
        std::wstring key = PathKey(path);
        if (key.empty()) {
            continue;  // names nothing usable: never compared, never removed
        }
        const auto found = listed.find(key);
        if (found == listed.end()) {
            match.droppedPaths.push_back(path);
            match.dropped.insert(std::move(key));
            continue;
        }
        if (digest != kNoDigest) {
            match.vouching[key].push_back(path);
        }
        if (*found->second == path) {
            exact.insert(key);
            match.recorded[std::move(key)] = digest;
        } else if (!exact.contains(key)) {
            match.recorded[std::move(key)] = digest;
        }
    }
    return match;
}

InTheWay FindObstacle(const fs::path& appDir, std::wstring_view path) {
    const DWORD root = AttributesOf(appDir);
    if (root != INVALID_FILE_ATTRIBUTES && !(root & FILE_ATTRIBUTE_DIRECTORY)) {
        return {Obstacle::FileForFolder, L""};
    }
    const std::wstring resolved = ResolvedPath(path);
    if (resolved.empty()) {
        return {};
    }
    for (size_t at = 0;;) {
        const size_t end = resolved.find(L'\\', at);
        const std::wstring part = resolved.substr(0, end);
        const DWORD attributes = AttributesOf(appDir / part);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (end != std::wstring::npos) {
                return {};  // nothing exists below: the folders will be made
            }
            break;
        }
        if (IsLinkAt(appDir, part)) {
            return {Obstacle::Link, part};
        }
        const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
        if (end == std::wstring::npos) {
            if (folder) {
                return {Obstacle::FolderForFile, part};
            }
            break;
        }
        if (!folder) {
            return {Obstacle::FileForFolder, part};
        }
        at = end + 1;
    }
    return {};
}

bool ClearTheWay(const fs::path& appDir, const ManifestFile& file, const PathMatch& paths) {
    const InTheWay way = FindObstacle(appDir, file.path);
    if (way.obstacle == Obstacle::None) {
        return true;
    }
    // Zelk never makes links, and never follows or removes one that it finds.
    if (way.obstacle == Obstacle::Link || way.path.empty()) {
        return false;
    }
    const fs::path full = appDir / way.path;
    const bool cleared = way.obstacle == Obstacle::FileForFolder
                             ? paths.dropped.contains(UpperCase(way.path)) && RemoveOwnFile(full)
                             : RemoveDroppedFolder(appDir, way.path, paths.dropped);
    return cleared && FindObstacle(appDir, file.path).obstacle == Obstacle::None;
}

bool WayCanBeCleared(const fs::path& appDir, const ManifestFile& file, const PathMatch& paths) {
    const InTheWay way = FindObstacle(appDir, file.path);
    if (way.obstacle == Obstacle::None) {
        return true;
    }
    if (way.obstacle == Obstacle::Link || way.path.empty()) {
        return false;
    }
    if (way.obstacle == Obstacle::FileForFolder) {
        return paths.dropped.contains(UpperCase(way.path));
    }
    std::vector<fs::path> files, folders;
    return CollectDropped(appDir, way.path, paths.dropped, files, folders);
}

bool FoldersAreClear(const fs::path& appDir, std::wstring_view path, CheckedFolders& checked) {
    const std::wstring resolved = ResolvedPath(path);
    if (resolved.empty()) {
        return false;
    }
    // A folder is remembered only once every folder above it was: the nearest one
    // remembered vouches for the whole way down to it.
    const size_t last = resolved.rfind(L'\\');
    if (last == std::wstring::npos || checked.keys.contains(UpperCase(resolved.substr(0, last)))) {
        return true;
    }
    for (size_t end = resolved.find(L'\\'); end != std::wstring::npos;
         end = resolved.find(L'\\', end + 1)) {
        const std::wstring part = resolved.substr(0, end);
        std::wstring key = UpperCase(part);
        if (checked.keys.contains(key)) {
            continue;
        }
        const DWORD attributes = AttributesOf(appDir / part);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
            IsLinkAt(appDir, part)) {
            return false;
        }
        checked.keys.insert(std::move(key));
    }
    return true;
}

bool CrossesLink(const fs::path& appDir, std::wstring_view path) {
    const std::wstring resolved = ResolvedPath(path);
    if (resolved.empty()) {
        return true;  // names nothing usable: never removed either
    }
    for (size_t at = 0;;) {
        const size_t end = resolved.find(L'\\', at);
        if (IsLinkAt(appDir, resolved.substr(0, end))) {
            return true;
        }
        if (end == std::wstring::npos) {
            break;
        }
        at = end + 1;
    }
    return false;
}

std::wstring WriteFailureDetail(DWORD error, bool pathBlocked, std::wstring_view path) {
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) {
        return L"Espace disque insuffisant : libère de la place puis relance.";
    }
    if (pathBlocked) {
        // Closing the launcher would not help: what is on disk has another shape.
        return L"Conflit de fichiers : " + std::wstring(path) +
               L" existe déjà sous une autre forme.";
    }
    return L"Fichier verrouillé : ferme le launcher puis relance.";
}

}  // namespace zelk

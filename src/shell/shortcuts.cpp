#include "shell/shortcuts.h"

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/text.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "install/paths.h"
#include "integrity/sha256.h"

namespace zelk {
namespace {

constexpr wchar_t kShortcutName[] = L"Zelk.lnk";
constexpr wchar_t kDescription[] = L"Zelk";
constexpr int kIconIndex = 0;
constexpr int kPathChars = MAX_PATH;  // what IShellLinkW hands out at most
constexpr size_t kIconHexChars = 8;
constexpr size_t kSmallestIcon = 6;  // an ICONDIR header alone

ComPtr<IShellLinkW> NewShellLink() {
    ComPtr<IShellLinkW> link;
    CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                     reinterpret_cast<void**>(link.put()));
    return link;
}

ComPtr<IPersistFile> PersistOf(IShellLinkW* link) {
    ComPtr<IPersistFile> persist;
    link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(persist.put()));
    return persist;
}

// Extensions are compared as written: a pinned "X.LNK" is not ours to touch.
bool HasExtension(const std::filesystem::path& path, std::wstring_view extension) {
    return path.extension().native() == extension;
}

void AddPinnedShortcuts(std::vector<std::filesystem::path>& candidates) {
    const std::filesystem::path roaming = KnownFolderPath(FOLDERID_RoamingAppData);
    if (roaming.empty()) {
        return;
    }
    const std::filesystem::path pinned =
        roaming / L"Microsoft" / L"Internet Explorer" / L"Quick Launch" / L"User Pinned";
    std::error_code error;
    // Directory links are not followed (the default), so a loop of junctions cannot trap us.
    std::filesystem::recursive_directory_iterator walk(pinned, error);
    for (; !error && walk != std::filesystem::recursive_directory_iterator();
         walk.increment(error)) {
        const std::filesystem::path& entry = walk->path();
        if (HasExtension(entry, L".lnk")) {
            candidates.push_back(entry);
        }
    }
}

std::vector<std::filesystem::path> ShortcutCandidates() {
    std::vector<std::filesystem::path> candidates = StandardShortcutPaths();
    AddPinnedShortcuts(candidates);
    return candidates;
}

bool IsOurs(const wchar_t* target, const std::filesystem::path& exePath,
            const std::filesystem::path& launcherExe) {
    // Compared by file identity, so short names, other letter cases and hard
    // links to the same file all count.
    return target[0] != L'\0' && (SameFile(target, exePath) || SameFile(target, launcherExe));
}

// True when the shortcut was saved with the new icon.
bool RepointIcon(const std::filesystem::path& lnkPath, const std::filesystem::path& iconCopy,
                 const std::filesystem::path& exePath, const std::filesystem::path& launcherExe) {
    std::error_code error;
    if (!std::filesystem::exists(lnkPath, error) || error) {
        return false;
    }
    ComPtr<IShellLinkW> link = NewShellLink();
    if (!link) {
        return false;
    }
    ComPtr<IPersistFile> persist = PersistOf(link.get());
    if (!persist || FAILED(persist.get()->Load(lnkPath.c_str(), STGM_READWRITE))) {
        return false;
    }
    wchar_t target[kPathChars] = {};
    wchar_t icon[kPathChars] = {};
    int index = 0;
    link.get()->GetPath(target, kPathChars, nullptr, 0);
    link.get()->GetIconLocation(icon, kPathChars, &index);
    if (!IsOurs(target, exePath, launcherExe)) {
        return false;
    }
    if (std::wstring_view(icon) == iconCopy.native() && index == kIconIndex) {
        return false;
    }
    link.get()->SetIconLocation(iconCopy.c_str(), kIconIndex);
    if (FAILED(persist.get()->Save(lnkPath.c_str(), TRUE))) {
        return false;
    }
    SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW, lnkPath.c_str(), nullptr);
    return true;
}

// Older copies go once the shortcuts point at the current one.
void RemoveOtherIcons(const std::filesystem::path& iconsDir,
                      const std::filesystem::path& iconCopy) {
    const std::wstring keep = WithBackslashes(iconCopy.native());
    std::error_code error;
    std::filesystem::directory_iterator walk(iconsDir, error);
    for (; !error && walk != std::filesystem::directory_iterator(); walk.increment(error)) {
        const std::filesystem::path& entry = walk->path();
        if (!HasExtension(entry, L".ico") || WithBackslashes(entry.native()) == keep) {
            continue;
        }
        // The copy itself under another spelling (letter case) must stay: the
        // shortcuts now point at it.
        if (SameFile(entry, iconCopy)) {
            continue;
        }
        RemoveOwnFile(entry);  // never a link's target
    }
}

void RefreshIcons(const std::filesystem::path& appDir) {
    const std::filesystem::path appIcon = appDir / L"zelk.ico";
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(appIcon, bytes) || bytes.size() < kSmallestIcon) {
        return;
    }
    const std::string digest = sha256Hex(bytes);
    if (digest.empty()) {
        return;  // a name without digest would never change with the icon
    }

    std::filesystem::path installDir = appDir;
    if (!installDir.has_filename()) {
        installDir = installDir.parent_path();  // a trailing separator
    }
    const std::filesystem::path iconsDir = installDir.parent_path() / L"data" / L"icones";
    const std::filesystem::path iconCopy =
        iconsDir / (L"zelk-" + Utf8ToWide(digest.substr(0, kIconHexChars)) + L".ico");
    const std::filesystem::path exePath = GetDataRoot() / L"Zelk.exe";
    const std::filesystem::path launcherExe = appDir / L"ZelkLauncher.exe";

    // Never behind a link: the shortcuts would point at a file elsewhere.
    if (!CreateOwnFolders(iconsDir)) {
        return;
    }
    // The name follows the content, so an existing copy is already right (a link there
    // is not a copy: the atomic write replaces it).
    const bool present = PathExists(iconCopy) && !IsLinkBelowRoot(iconCopy);
    if (!present && !WriteFileAtomically(iconCopy, bytes)) {
        return;  // never point a shortcut at a file that is not there
    }

    bool changed = false;
    for (const std::filesystem::path& candidate : ShortcutCandidates()) {
        changed = RepointIcon(candidate, iconCopy, exePath, launcherExe) || changed;
    }
    if (changed) {
        SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    }
    RemoveOtherIcons(iconsDir, iconCopy);
}

}  // namespace

void CreateShortcut(const std::filesystem::path& lnkPath, const std::filesystem::path& target) {
    try {
        ComPtr<IShellLinkW> link = NewShellLink();
        if (!link) {
            return;
        }
        // No icon location: the target's own icon shows until the next refresh.
        link.get()->SetPath(target.c_str());
        link.get()->SetWorkingDirectory(target.parent_path().c_str());
        link.get()->SetDescription(kDescription);
        ComPtr<IPersistFile> persist = PersistOf(link.get());
        if (persist) {
            persist.get()->Save(lnkPath.c_str(), TRUE);
        }
    } catch (const std::exception&) {
        // Out of memory while composing a path: the shortcut is a side task.
    }
}

std::vector<std::filesystem::path> StandardShortcutPaths() {
    std::vector<std::filesystem::path> paths;
    for (REFKNOWNFOLDERID folder : {FOLDERID_Desktop, FOLDERID_Programs}) {
        const std::filesystem::path dir = KnownFolderPath(folder);
        if (!dir.empty()) {
            paths.push_back(dir / kShortcutName);
        }
    }
    return paths;
}

void CreateStandardShortcuts(const std::filesystem::path& target) {
    try {
        for (const std::filesystem::path& lnkPath : StandardShortcutPaths()) {
            CreateShortcut(lnkPath, target);
        }
    } catch (const std::exception&) {
    }
}

bool RemoveOwnShortcut(const std::filesystem::path& lnkPath, const std::filesystem::path& exePath,
                       const std::filesystem::path& launcherExe) {
    try {
        if (!PathExists(lnkPath)) {
            return true;
        }
        wchar_t target[kPathChars] = {};
        {
            ComPtr<IShellLinkW> link = NewShellLink();
            ComPtr<IPersistFile> persist = link ? PersistOf(link.get()) : ComPtr<IPersistFile>();
            if (!persist || FAILED(persist.get()->Load(lnkPath.c_str(), STGM_READ))) {
                return true;  // not a shortcut that can be ours
            }
            link.get()->GetPath(target, kPathChars, nullptr, 0);
        }  // released before the file goes
        // Once the files are gone only the target's text can tell.
        const bool ours = IsOurs(target, exePath, launcherExe) ||
                          (target[0] != L'\0' && (SamePathText(target, exePath.native()) ||
                                                  SamePathText(target, launcherExe.native())));
        if (!ours) {
            return true;
        }
        if (!DeleteFileW(lnkPath.c_str())) {
            return false;
        }
        SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW, lnkPath.c_str(), nullptr);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void RefreshShortcutIcons(const std::filesystem::path& appDir) {
    try {
        RefreshIcons(appDir);
    } catch (const std::exception&) {
        // Only allocation can fail here; the icons wait for the next run.
    }
}

}  // namespace zelk

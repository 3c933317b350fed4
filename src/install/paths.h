#pragma once
// Where everything of one per-user installation lives.

#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <string>

namespace zelk {

// Every folder and file of one installation, derived from its data root.
struct InstallPaths {
    std::filesystem::path root;
    std::filesystem::path exePath;           // root\Zelk.exe: the installed bootstrapper
    std::filesystem::path oldExePath;        // root\Zelk.exe.old: left by a self-replacement
    std::filesystem::path appDataDir;        // root\Zelk Application Data
    std::filesystem::path appDir;            // the launcher's installation
    std::filesystem::path launcherExe;       // appDir\ZelkLauncher.exe
    std::filesystem::path appIcon;           // appDir\zelk.ico
    std::filesystem::path manifestMarker;    // appDir\.zelk-manifest
    std::filesystem::path installedMarker;   // appDir\.zelk-installed
    std::filesystem::path pendingManifest;   // appDir\.zelk-pending: a release being put in place
    std::filesystem::path pendingSignature;  // appDir\.zelk-pending.sig: its signature
    std::filesystem::path dataDir;           // the user's data
    std::filesystem::path settingsFile;      // dataDir\launcher-settings.json
    std::filesystem::path iconsDir;          // dataDir\icones
    std::filesystem::path logsDir;
    std::filesystem::path diversDir;
    std::filesystem::path crashesDir;
    std::filesystem::path cacheDir;
    std::filesystem::path partialDir;  // downloads not yet complete, by content digest
};

inline constexpr wchar_t kDataRootName[] = L"Zelk";  // exact letter case on disk

// DataRootOverride when set, else %LOCALAPPDATA%\Zelk, else the empty path.
std::filesystem::path GetDataRoot();
std::filesystem::path GetAppDataDir(const std::filesystem::path& root);
InstallPaths MakeInstallPaths(const std::filesystem::path& root);

// The name the file system stores for the last component of path, or empty
// when nothing matches.
std::wstring GetOnDiskName(const std::filesystem::path& path);

// Whether the bench supplied the data root.
bool HasExplicitRoot();

// The path of a known folder for the current user, or empty when unavailable.
std::filesystem::path KnownFolderPath(REFKNOWNFOLDERID folder);

}  // namespace zelk

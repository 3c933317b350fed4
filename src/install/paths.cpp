#include "install/paths.h"

#include "app/launch_options.h"
#include "common/win_handles.h"

namespace zelk {

std::filesystem::path KnownFolderPath(REFKNOWNFOLDERID folder) {
    UniqueTaskMem buffer;  // released even when the call fails
    if (FAILED(SHGetKnownFolderPath(folder, 0, nullptr, buffer.put())) || !buffer) {
        return {};
    }
    return std::filesystem::path(buffer.get());
}

std::filesystem::path GetDataRoot() {
    if (!DataRootOverride.empty()) {
        return DataRootOverride;
    }
    std::filesystem::path local = KnownFolderPath(FOLDERID_LocalAppData);
    if (local.empty()) {
        return {};
    }
    // Appended as text: the known folder never ends with a separator.
    return std::filesystem::path(local.native() + L"\\" + kDataRootName);
}

std::filesystem::path GetAppDataDir(const std::filesystem::path& root) {
    return root / L"Zelk Application Data";
}

InstallPaths MakeInstallPaths(const std::filesystem::path& root) {
    InstallPaths paths;
    paths.root = root;
    paths.exePath = root / L"Zelk.exe";
    paths.oldExePath = root / L"Zelk.exe.old";
    paths.appDataDir = GetAppDataDir(root);
    paths.appDir = paths.appDataDir / L"app";
    paths.launcherExe = paths.appDir / L"ZelkLauncher.exe";
    paths.appIcon = paths.appDir / L"zelk.ico";
    paths.manifestMarker = paths.appDir / L".zelk-manifest";
    paths.installedMarker = paths.appDir / L".zelk-installed";
    paths.pendingManifest = paths.appDir / L".zelk-pending";
    paths.pendingSignature = paths.appDir / L".zelk-pending.sig";
    paths.dataDir = paths.appDataDir / L"data";
    paths.settingsFile = paths.dataDir / L"launcher-settings.json";
    paths.iconsDir = paths.dataDir / L"icones";
    paths.logsDir = paths.appDataDir / L"logs";
    paths.diversDir = paths.appDataDir / L"divers";
    paths.crashesDir = paths.appDataDir / L"crashes";
    paths.cacheDir = paths.appDataDir / L"cache";
    paths.partialDir = paths.appDataDir / L"telechargements";
    return paths;
}

std::wstring GetOnDiskName(const std::filesystem::path& path) {
    WIN32_FIND_DATAW found{};
    UniqueFind search(FindFirstFileW(path.c_str(), &found));
    if (!search) {
        return {};
    }
    return found.cFileName;
}

bool HasExplicitRoot() {
    return !DataRootOverride.empty();
}

}  // namespace zelk

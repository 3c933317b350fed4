#include "shell/uninstall_entry.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <system_error>

#include "app/command_line.h"
#include "common/process.h"
#include "common/version.h"
#include "shell/registry.h"

namespace zelk {
namespace {

constexpr wchar_t kDisplayName[] = L"Zelk";
constexpr wchar_t kPublisher[] = L"Zelk";  // the version resource's CompanyName

std::uint64_t FileBytes(const std::filesystem::path& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

// Regular files below folder; what cannot be read counts as nothing.
std::uint64_t FolderBytes(const std::filesystem::path& folder) {
    std::uint64_t total = 0;
    std::error_code error;
    std::filesystem::recursive_directory_iterator walk(folder, error);
    for (; !error && walk != std::filesystem::recursive_directory_iterator();
         walk.increment(error)) {
        std::error_code statusError;
        if (walk->is_regular_file(statusError)) {
            total += FileBytes(walk->path());
        }
    }
    return total;
}

}  // namespace

void RegisterUninstallEntry(const InstallPaths& paths) {
    try {
        const UniqueRegKey key = CreateUserKey(kUninstallKey);
        if (!key) {
            return;
        }
        const std::wstring uninstall = Quoted(paths.exePath.native()) + L" " + kUninstallArg;
        SetRegistryString(key.get(), L"DisplayName", kDisplayName);
        SetRegistryString(key.get(), L"DisplayIcon", paths.exePath.native());
        SetRegistryString(key.get(), L"DisplayVersion", kZelkVersion);
        SetRegistryString(key.get(), L"Publisher", kPublisher);
        SetRegistryString(key.get(), L"InstallLocation", paths.root.native());
        SetRegistryDword(key.get(), L"NoModify", 1);
        SetRegistryDword(key.get(), L"NoRepair", 1);
        SetRegistryString(key.get(), L"UninstallString", uninstall);
        SetRegistryString(key.get(), L"QuietUninstallString",
                          uninstall + L" " + kUninstallSilentArg);
    } catch (const std::exception&) {
        // Out of memory: the entry is refreshed by the next run.
    }
}

void RecordInstalledSize(const InstallPaths& paths) {
    try {
        const std::uint64_t bytes = FileBytes(paths.exePath) + FolderBytes(paths.appDir);
        const std::uint64_t kib = bytes / 1024 + (bytes % 1024 != 0 ? 1 : 0);
        const UniqueRegKey key = CreateUserKey(kUninstallKey);
        if (key) {
            SetRegistryDword(key.get(), L"EstimatedSize",
                             static_cast<DWORD>(std::min<std::uint64_t>(kib, MAXDWORD)));
        }
    } catch (const std::exception&) {
    }
}

bool RemoveUninstallEntry() {
    return DeleteUserKey(kUninstallKey);
}

}  // namespace zelk

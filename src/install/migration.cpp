#include "install/migration.h"

#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/text.h"
#include "install/file_helpers.h"
#include "install/paths.h"

namespace zelk {
namespace {

// Moved into the data folder in this order.
constexpr const wchar_t* kDataFiles[] = {
    L"launcher-settings.json", L"connect.json", L"identite.key",
    L"identite.key.ancienne",  L"exec.lua",     L"zelk.ico",
};

// The bootstrapper's own files stay beside it.
bool StaysInRoot(std::wstring_view name) {
    return SamePathText(name, L"Zelk.exe") || SamePathText(name, L"Zelk.exe.old");
}

bool IsLogFile(std::wstring_view name) {
    return name.size() >= 5 && SamePathText(name.substr(name.size() - 4), L".log");
}

// Regular files directly in root, listed completely before anything moves. A
// listing error ends the list with what was found so far.
std::vector<std::filesystem::path> LooseFiles(const std::filesystem::path& root) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    std::filesystem::directory_iterator it(root, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::error_code statusError;
        if (std::filesystem::is_regular_file(it->path(), statusError)) {
            files.push_back(it->path());
        }
    }
    return files;
}

}  // namespace

int MigrateDataFolder(const std::filesystem::path& root) {
    MoveTally tally;
    try {
        const InstallPaths paths = MakeInstallPaths(root);
        for (const std::filesystem::path* folder :
             {&paths.appDataDir, &paths.dataDir, &paths.logsDir, &paths.crashesDir,
              &paths.cacheDir}) {
            CreateOwnFolders(*folder);
        }

        MoveIfAbsent(root / L"app", paths.appDir, tally);
        for (const wchar_t* name : kDataFiles) {
            MoveIfAbsent(root / name, paths.dataDir / name, tally);
        }
        for (const std::filesystem::path& file : LooseFiles(root)) {
            const std::wstring name = file.filename().native();
            if (StaysInRoot(name)) {
                continue;
            }
            MoveIfAbsent(file, (IsLogFile(name) ? paths.logsDir : paths.diversDir) / name, tally);
        }
    } catch (const std::exception&) {
        // Only an allocation can fail here; the moves made so far still count.
    }
    return tally.moved;
}

}  // namespace zelk

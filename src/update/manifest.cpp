#include "update/manifest.h"

#include <windows.h>

#include <unordered_set>
#include <utility>

#include "common/text.h"
#include "update/release_paths.h"

namespace zelk {

bool ValidateManifest(const JsonValue& manifest, const std::string& lastDate,
                      std::string& message) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    return ValidateManifestAt(
        manifest, lastDate,
        FormatTimestamp(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond),
        message);
}

bool IsValidManifestFile(const ManifestFile& file) {
    return IsValidManifestEntry(std::wstring_view(file.path), file.sha256);
}

ReleaseManifest ReadReleaseManifest(const JsonValue& manifest,
                                    const std::filesystem::path& appDir) {
    return {manifest.get("date").asString(""), manifest.get("expires").asString(""),
            manifest.get("channel").asString(""), ReadBootstrapperRecord(manifest),
            ReadManifestFiles(manifest, appDir)};
}

std::vector<ManifestFile> ReadManifestFiles(const JsonValue& manifest,
                                            const std::filesystem::path& appDir) {
    const size_t folderLength = appDir.native().size();
    std::vector<ManifestFile> files;
    std::unordered_set<std::wstring> seen;
    for (ManifestEntry& entry : ReadManifestEntries(manifest)) {
        ManifestFile file{Utf8ToWide(entry.path), std::move(entry.sha256), entry.size,
                          std::move(entry.blocks)};
        // Checked again as UTF-16: the path that Windows will be given. Two entries
        // for one file would take turns on disk, run after run.
        if (IsValidManifestFile(file) && FitsBelow(folderLength, std::wstring_view(file.path)) &&
            seen.insert(PathKey(file.path)).second) {
            files.push_back(std::move(file));
        }
    }
    return files;
}

}  // namespace zelk

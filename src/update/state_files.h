#pragma once
// The launcher's settings (read only) and the bootstrapper's two state files.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "json/json.h"
#include "update/manifest.h"

namespace zelk {

struct Settings {
    std::string channel = "release";  // "release", "beta" or "latest"
    bool autoUpdate = true;
};

// Path of an installed file -> its digest, ordered by UTF-16 code units.
using InstalledIndex = std::map<std::wstring, std::string>;

// Defaults when the file is missing, unreadable or malformed.
Settings ReadSettings(const std::filesystem::path& settingsFile);

// The installed release's date, or empty when none is known.
std::string ReadLastDate(const std::filesystem::path& manifestMarker);

InstalledIndex ReadInstalledIndex(const std::filesystem::path& installedMarker);

// Both written only once a release is completely in place: index first, then date.
// Each file is replaced atomically, so an interruption leaves the old record whole.
void WriteInstalledIndex(const std::filesystem::path& installedMarker,
                         const std::vector<ManifestFile>& allFiles);
void WriteLastDate(const std::filesystem::path& manifestMarker, const JsonValue& manifest);

}  // namespace zelk

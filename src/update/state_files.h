#pragma once
// The launcher's settings (read only) and the bootstrapper's two state files.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "json/json.h"
#include "update/manifest.h"
#include "update/state_text.h"

namespace zelk {

// Path of an installed file -> its digest, ordered by UTF-16 code units.
using InstalledIndex = std::map<std::wstring, std::string>;

// Defaults when the file is missing, unreadable, malformed or larger than 16 MiB
// (every reader here treats a state file that large as unreadable).
Settings ReadSettings(const std::filesystem::path& settingsFile);

// The installed release's date, or empty when none is known.
std::string ReadLastDate(const std::filesystem::path& manifestMarker);

InstalledIndex ReadInstalledIndex(const std::filesystem::path& installedMarker);

// Both written only once a release is completely in place: index first, then date.
// Each file is replaced atomically, so an interruption leaves the old record whole.
// Both report whether the new record is in place.
bool WriteInstalledIndex(const std::filesystem::path& installedMarker,
                         const std::vector<ManifestFile>& allFiles);
bool WriteLastDate(const std::filesystem::path& manifestMarker, const JsonValue& manifest);

}  // namespace zelk

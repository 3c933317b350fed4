#pragma once
// Reading a verified release manifest.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "json/json.h"
#include "update/manifest_rules.h"

namespace zelk {

// One file of a release.
struct ManifestFile {
    std::wstring path;   // relative to appDir, "\" or "/" between folders
    std::string sha256;  // 64 lower-case hexadecimal characters
    std::uint64_t size = 0;
    std::string blocks = {};  // digest of the content's block map, or "" (ManifestEntry)
};

// ValidateManifestAt with the current UTC time from the system clock.
bool ValidateManifest(const JsonValue& manifest, const std::string& lastDate, std::string& message);

// The valid entries of "files" (ReadManifestEntries), in manifest order, with
// their paths in UTF-16. Skipped: invalid ones, those too long to be written below
// appDir, and those that name the same file as an earlier entry (the first wins).
std::vector<ManifestFile> ReadManifestFiles(const JsonValue& manifest,
                                            const std::filesystem::path& appDir = {});

// Whether an entry may take part in an installation (IsValidManifestEntry).
bool IsValidManifestFile(const ManifestFile& file);

// An accepted manifest, read once into what the installation uses of it.
struct ReleaseManifest {
    std::string date;     // "date": a time stamp once accepted
    std::string expires;  // "expires"
    std::string channel;  // "channel", or empty when the manifest names none
    BootstrapperRecord bootstrapper;
    std::vector<ManifestFile> files;  // ReadManifestFiles
};

// The record of a manifest that was verified and accepted; files as ReadManifestFiles
// gives them for appDir.
ReleaseManifest ReadReleaseManifest(const JsonValue& manifest, const std::filesystem::path& appDir);

}  // namespace zelk

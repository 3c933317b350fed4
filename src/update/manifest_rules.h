#pragma once
// Rules of the release manifest that need no platform: time stamps, freshness,
// byte counts, the shape of a file's path and the reading of the file entries and
// the bootstrapper record. Free of Windows headers.

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "integrity/digest_text.h"
#include "json/json.h"
#include "update/path_rules.h"

namespace zelk {

// Exactly "YYYY-MM-DDTHH:MM:SSZ": digits, separators and the Z at fixed places.
// Field values are not range-checked; valid stamps order in time as byte strings.
bool IsTimestamp(std::string_view text);

// The time stamp of a UTC time, as "%04u-%02u-%02uT%02u:%02u:%02uZ" prints it.
std::string FormatTimestamp(unsigned year, unsigned month, unsigned day, unsigned hour,
                            unsigned minute, unsigned second);

// Whether a verified manifest may be installed at time now (a time stamp), given
// the date of the installed release (empty when none is known). On false,
// message holds the French refusal shown to the user; on true it is untouched.
bool ValidateManifestAt(const JsonValue& manifest, std::string_view lastDate, std::string_view now,
                        std::string& message);

// A JSON number as a byte count: its integer part. A value with no such count
// (negative, not a number, 2^64 or more) gives all ones, which matches no real
// size, so every size comparison with it fails.
std::uint64_t ToByteCount(double number);

// Whether a file entry may take part in an installation: a digest (IsDigestText: it
// becomes a file name and a URL) and a usable path (JudgePath). The same rule for the
// UTF-8 path and its UTF-16 conversion.
template <typename Char>
bool IsValidManifestEntry(std::basic_string_view<Char> path, std::string_view sha256) {
    return IsDigestText(sha256) && IsSafeRelativePath(path);
}

// Whether a manifest was signed for the channel whose folder served it. The
// publisher writes a "channel" string into every manifest it signs, so a genuine
// manifest of one channel replayed under another folder is refused; a manifest
// without the key (published before it existed) is accepted.
bool ChannelMatches(const JsonValue& manifest, std::string_view channel);

// One valid element of "files", its path still the manifest's UTF-8 text.
struct ManifestEntry {
    std::string path;
    std::string sha256;
    std::uint64_t size = 0;
    std::string blocks = {};  // digest of the content's block map (net/block_map.h), or ""
};

// The valid elements of "files", in manifest order; invalid ones are skipped. A
// key that is missing or of another type reads as "" or 0. "blocks" is optional: it
// reads as "" unless it is a digest (IsDigestText), and has no say in an entry's validity.
std::vector<ManifestEntry> ReadManifestEntries(const JsonValue& manifest);

// The bootstrapper executable a release carries. sha256 is empty when the manifest has
// none, or one that is not a digest (IsDigestText): the record is then ignored.
struct BootstrapperRecord {
    std::string sha256;
    std::uint64_t size = 0;
};

BootstrapperRecord ReadBootstrapperRecord(const JsonValue& manifest);

}  // namespace zelk

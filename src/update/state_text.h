#pragma once
// The text of the two state files the bootstrapper keeps in the launcher's
// folder, ".zelk-manifest" (date of the installed release) and ".zelk-installed"
// (one "digest size path" line per file), and of the launcher's settings file.
// Free of Windows headers.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk {

struct Settings {
    std::string channel = "release";  // "release", "beta" or "latest"
    bool autoUpdate = true;
};

// The settings in the bytes of "launcher-settings.json". A key of another type
// gives its default, bytes that do not parse as JSON (a byte-order mark
// included) give both, and a channel other than the three above is "release".
Settings ParseSettings(std::span<const std::uint8_t> bytes);

struct IndexLine {
    std::string sha256;
    std::uint64_t size = 0;
    std::string path;  // UTF-8, as in the manifest
};

// The digest of an index line that records a path as ours without vouching for its
// content: 64 zeros, which no content has, so the file is fetched again whatever the
// release says it should be.
inline constexpr char kNoDigest[] =
    "0000000000000000000000000000000000000000000000000000000000000000";

// What a text-mode read sees: CR LF pairs become LF.
std::string FromTextMode(std::string_view bytes);

// Every line ends with CR LF on disk, as a text-mode write leaves it.
std::string ToTextMode(std::string_view text);

// The date on the first line when it is a time stamp, else empty.
std::string ParseLastDate(std::string_view text);

// Lines in file order as (digest, path): digest is the first word, the second
// word (the size) is skipped, and the path is the rest of the line after the
// whitespace that follows the size. Lines without a path, and lines whose first word
// is not a digest (IsDigestText), are skipped.
std::vector<std::pair<std::string, std::string>> ParseIndexText(std::string_view text);

std::string FormatIndexText(const std::vector<IndexLine>& lines);

}  // namespace zelk

#pragma once
// The search for the release manifest: server by server, the configured channel and
// then "release" within each, the first acceptable manifest winning; and what the
// flow shows and does when none is accepted.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "json/json.h"
#include "net/http_client.h"
#include "update/manifest.h"

namespace zelk {

// Fetches one document whole (at most maxBytes) into body. The update flow fetches
// over the network; tests hand in their own answers.
using FetchDocument = std::function<HttpResult(
    const std::wstring& url, std::vector<std::uint8_t>& body, std::uint64_t maxBytes)>;

inline constexpr std::uint64_t kManifestCap = 4194304;
inline constexpr std::uint64_t kSignatureCap = 4096;

struct ManifestSearch {
    ReleaseManifest release;                  // the accepted manifest, read once
    std::vector<std::uint8_t> manifestBytes;  // as they arrived and were verified
    std::vector<std::uint8_t> signature;      // manifest.sig as it arrived
    std::wstring releaseFolder;               // empty when no candidate was accepted
    std::string lastRefusal;                  // UTF-8: the last freshness refusal, if any
    TroubleTally troubles;                    // how every request of the search ended
};

// Tries releaseFolder = base + "/" + channel for each base URL in order and, within
// each, the configured channel and then "release" (once when they are the same).
// A candidate is accepted when its manifest.json and manifest.sig arrive, the
// signature is valid under a built-in key, the body is a JSON object whose
// "channel", when present, names the channel tried, and the freshness rules accept
// it against lastDate. Nothing is retried. The accepted manifest is read for an
// installation whose launcher's folder is appDir (ReadReleaseManifest).
ManifestSearch SearchManifest(const std::vector<std::wstring>& baseUrls, const std::string& channel,
                              const std::string& lastDate, const std::filesystem::path& appDir,
                              const FetchDocument& fetch);

// What the flow does when no manifest was accepted: the status it shows, how long it
// leaves it readable, and then either the installed launcher's start (launch) or the
// result given here.
struct NoManifestOutcome {
    std::wstring heading;
    std::wstring detail;
    double progress = 0.0;
    unsigned pauseMs = 0;
    bool launch = false;
    int result = 0;  // when not launching
};

// trouble, when the user can act on it, replaces the detail of the outcome that no
// server answering would have; a refusal keeps its own.
NoManifestOutcome ChooseNoManifestOutcome(bool launcherExists, const std::string& lastRefusal,
                                          bool explicitRoot,
                                          NetworkTrouble trouble = NetworkTrouble::None);

// The detail line that tells the user what to do about trouble; null for None.
const wchar_t* TroubleDetail(NetworkTrouble trouble);

}  // namespace zelk

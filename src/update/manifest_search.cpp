#include "update/manifest_search.h"

#include <string_view>
#include <utility>

#include "common/run_log.h"
#include "common/text.h"
#include "integrity/signature.h"
#include "update/manifest.h"
#include "update/update_flow.h"

namespace zelk {
namespace {

constexpr char kBaseChannel[] = "release";
constexpr unsigned kOfflinePauseMs = 900;
constexpr unsigned kRefusedPauseMs = 2500;

// True when releaseFolder served a manifest signed by a built-in key, well formed
// and acceptable; a refusal by the freshness rules leaves its message.
bool TryCandidate(const std::wstring& releaseFolder, const std::string& channel,
                  const std::string& lastDate, const std::filesystem::path& appDir,
                  const FetchDocument& fetch, ManifestSearch& search) {
    // Each candidate leaves one line in the log: why it failed, or that it was taken.
    const auto failed = [&releaseFolder](const auto&... why) {
        Log("manifest ", releaseFolder, ": ", why...);
        return false;
    };
    std::vector<std::uint8_t> body, signature;
    const HttpResult manifestAnswer = fetch(releaseFolder + L"/manifest.json", body, kManifestCap);
    search.troubles.Add(manifestAnswer.status, manifestAnswer.error);
    if (!manifestAnswer) {
        return failed("manifest.json ",
                      DescribeHttpFailure(manifestAnswer.status, manifestAnswer.error));
    }
    const HttpResult signatureAnswer =
        fetch(releaseFolder + L"/manifest.sig", signature, kSignatureCap);
    search.troubles.Add(signatureAnswer.status, signatureAnswer.error);
    if (!signatureAnswer) {
        return failed("manifest.sig ",
                      DescribeHttpFailure(signatureAnswer.status, signatureAnswer.error));
    }
    const std::vector<std::uint8_t> decoded = decodeSignature(
        std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size()));
    if (!verifyManifestSignature(body, decoded)) {
        return failed("signature refused");
    }
    JsonValue manifest;
    if (!parseJson(body, manifest) || manifest.type != JsonType::Object) {
        return failed("not a JSON object");
    }
    // A manifest signed for another channel is as unusable here as a forged one.
    if (!ChannelMatches(manifest, channel)) {
        return failed("signed for another channel");
    }
    std::string message;
    if (!ValidateManifest(manifest, lastDate, message)) {
        search.lastRefusal = message;
        return failed("refused: ", message);
    }
    Log("manifest ", releaseFolder, ": accepted, dated ", manifest.get("date").asString(""));
    search.release = ReadReleaseManifest(manifest, appDir);
    search.manifestBytes = std::move(body);
    search.signature = std::move(signature);
    search.releaseFolder = releaseFolder;
    return true;
}

}  // namespace

ManifestSearch SearchManifest(const std::vector<std::wstring>& baseUrls, const std::string& channel,
                              const std::string& lastDate, const std::filesystem::path& appDir,
                              const FetchDocument& fetch) {
    std::vector<std::string> channels{channel};
    if (channel != kBaseChannel) {
        channels.emplace_back(kBaseChannel);
    }
    ManifestSearch search;
    for (const std::wstring& base : baseUrls) {
        for (const std::string& candidate : channels) {
            if (TryCandidate(base + L"/" + Utf8ToWide(candidate), candidate, lastDate, appDir,
                             fetch, search)) {
                return search;
            }
        }
    }
    return search;
}

const wchar_t* TroubleDetail(NetworkTrouble trouble) {
    switch (trouble) {
        case NetworkTrouble::Certificate:
            return L"Connexion sécurisée refusée : vérifie la date et l'heure du PC.";
        case NetworkTrouble::ProxyCredentials:
            return L"Le proxy demande une identification.";
        case NetworkTrouble::Unavailable:
            return L"Serveur de mises à jour indisponible : réessaie plus tard.";
        case NetworkTrouble::None:
            break;
    }
    return nullptr;
}

NoManifestOutcome ChooseNoManifestOutcome(bool launcherExists, const std::string& lastRefusal,
                                          bool explicitRoot, NetworkTrouble trouble) {
    const wchar_t* troubleDetail = TroubleDetail(trouble);
    if (launcherExists) {
        // The installed release still starts, once the reason has been readable.
        if (lastRefusal.empty()) {
            return {L"Hors ligne",
                    troubleDetail != nullptr ? troubleDetail : L"Lancement de la version installée",
                    1.0, kOfflinePauseMs, true};
        }
        return {L"Mise à jour refusée", Utf8ToWide(lastRefusal), 1.0, kRefusedPauseMs, true};
    }
    std::wstring detail = !lastRefusal.empty() ? Utf8ToWide(lastRefusal)
                          : troubleDetail != nullptr
                              ? troubleDetail
                              : L"Plateforme injoignable : vérifie ta connexion puis relance.";
    return {L"Impossible d'installer Zelk",
            std::move(detail),
            0.0,
            0,
            false,
            explicitRoot ? kBenchFailed : kFailedOnScreen};
}

}  // namespace zelk

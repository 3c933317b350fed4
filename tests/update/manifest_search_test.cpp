// The manifest search through its fetch seam: which documents it asks for, in which
// order and with which caps, which candidate it accepts, and what the flow shows and
// returns when none is accepted.

#include "update/manifest_search.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "integrity/built_in_keys.h"
#include "search_vectors.h"
#include "update/update_flow.h"

namespace zelk {
namespace {

namespace v = search_vectors;

const std::wstring kServer1 = L"http://127.0.0.1:1/updates";
const std::wstring kServer2 = L"https://localhost:2/updates";

// Documents by URL; everything else is a 404. Records every request.
struct FakeServers {
    std::map<std::wstring, std::string> documents;
    std::vector<std::pair<std::wstring, std::uint64_t>> requests;

    void Serve(const std::wstring& folder, std::string_view manifest, std::string_view signature) {
        documents[folder + L"/manifest.json"] = std::string(manifest);
        documents[folder + L"/manifest.sig"] = std::string(signature);
    }
    FetchDocument Fetch() {
        return [this](const std::wstring& url, std::vector<std::uint8_t>& body,
                      std::uint64_t maxBytes) {
            requests.emplace_back(url, maxBytes);
            const auto found = documents.find(url);
            if (found == documents.end()) {
                return HttpResult{false, 404, 0};
            }
            if (found->second.size() > maxBytes) {
                return HttpResult{false, 200, 223};
            }
            body.assign(found->second.begin(), found->second.end());
            return HttpResult{true, 200, 0};
        };
    }
    std::vector<std::wstring> Urls() const {
        std::vector<std::wstring> urls;
        for (const auto& [url, cap] : requests) {
            urls.push_back(url);
        }
        return urls;
    }
};

class Search : public ::testing::Test {
protected:
    void SetUp() override {
        if (!keys::kDevelopmentKeys) {
            GTEST_SKIP() << "the vectors are signed with the development keys";
        }
    }
    ManifestSearch Run(const std::string& channel, const std::string& lastDate = "") {
        return SearchManifest({kServer1, kServer2}, channel, lastDate, L"C:\\Zelk\\app",
                              servers.Fetch());
    }
    FakeServers servers;
};

TEST_F(Search, ServerByServerChannelThenRelease) {
    const ManifestSearch search = Run("beta");
    EXPECT_TRUE(search.releaseFolder.empty());
    EXPECT_TRUE(search.lastRefusal.empty());
    EXPECT_EQ(servers.Urls(), (std::vector<std::wstring>{
                                  kServer1 + L"/beta/manifest.json",
                                  kServer1 + L"/release/manifest.json",
                                  kServer2 + L"/beta/manifest.json",
                                  kServer2 + L"/release/manifest.json",
                              }));
}

TEST_F(Search, TheReleaseChannelIsTriedOncePerServer) {
    Run("release");
    EXPECT_EQ(servers.Urls(), (std::vector<std::wstring>{kServer1 + L"/release/manifest.json",
                                                         kServer2 + L"/release/manifest.json"}));
}

TEST_F(Search, TheSignatureFollowsItsManifestWithTheCaps) {
    servers.Serve(kServer2 + L"/release", v::kCurrentManifest, v::kCurrentSignature);
    const ManifestSearch search = Run("release");
    EXPECT_EQ(search.releaseFolder, kServer2 + L"/release");
    EXPECT_EQ(search.release.date, "2025-06-01T00:00:00Z");
    ASSERT_EQ(search.release.files.size(), 1u);
    EXPECT_EQ(search.release.files[0].path, L"ZelkLauncher.exe");
    ASSERT_EQ(servers.requests.size(), 3u);
    EXPECT_EQ(servers.requests[1],
              std::make_pair(kServer2 + L"/release/manifest.json", std::uint64_t{4194304}));
    EXPECT_EQ(servers.requests[2],
              std::make_pair(kServer2 + L"/release/manifest.sig", std::uint64_t{4096}));
}

TEST_F(Search, TheFirstAcceptableCandidateEndsTheSearch) {
    servers.Serve(kServer1 + L"/beta", v::kBetaManifest, v::kBetaSignature);
    servers.Serve(kServer1 + L"/release", v::kCurrentManifest, v::kCurrentSignature);
    servers.Serve(kServer2 + L"/beta", v::kBetaManifest, v::kBetaSignature);
    const ManifestSearch search = Run("beta");
    EXPECT_EQ(search.releaseFolder, kServer1 + L"/beta");
    EXPECT_EQ(servers.Urls(), (std::vector<std::wstring>{kServer1 + L"/beta/manifest.json",
                                                         kServer1 + L"/beta/manifest.sig"}));
}

TEST_F(Search, UnverifiableCandidatesAreSkippedWithoutAMessage) {
    // A signature made for another manifest, a body that is not an object, a missing
    // signature: each is passed over as if the server had nothing.
    servers.Serve(kServer1 + L"/beta", v::kBetaManifest, v::kCurrentSignature);
    servers.Serve(kServer1 + L"/release", v::kNotAnObjectManifest, v::kNotAnObjectSignature);
    servers.documents[kServer2 + L"/beta/manifest.json"] = std::string(v::kBetaManifest);
    servers.Serve(kServer2 + L"/release", v::kCurrentManifest, v::kCurrentSignature);
    const ManifestSearch search = Run("beta");
    EXPECT_EQ(search.releaseFolder, kServer2 + L"/release");
    EXPECT_TRUE(search.lastRefusal.empty());
}

TEST_F(Search, AManifestSignedForAnotherChannelIsSkippedWithoutAMessage) {
    // The genuine beta manifest replayed under the release folder of server 1.
    servers.Serve(kServer1 + L"/release", v::kLabelledBetaManifest, v::kLabelledBetaSignature);
    servers.Serve(kServer2 + L"/release", v::kCurrentManifest, v::kCurrentSignature);
    ManifestSearch search = Run("release");
    EXPECT_EQ(search.releaseFolder, kServer2 + L"/release");
    EXPECT_TRUE(search.lastRefusal.empty());

    // Under its own folder it is accepted; a manifest without the key anywhere.
    servers.Serve(kServer1 + L"/beta", v::kLabelledBetaManifest, v::kLabelledBetaSignature);
    search = Run("beta");
    EXPECT_EQ(search.releaseFolder, kServer1 + L"/beta");
    EXPECT_EQ(search.release.channel, "beta");
}

TEST_F(Search, ForABetaUserEachFolderIsJudgedByItsOwnChannel) {
    // Server 1 has no beta folder and replays the beta manifest under /release: a beta
    // user falls back to "release", where a manifest for beta is as foreign as a forged
    // one. Server 2's "release" manifest under /release is what such a user gets.
    servers.Serve(kServer1 + L"/release", v::kLabelledBetaManifest, v::kLabelledBetaSignature);
    servers.Serve(kServer2 + L"/release", v::kLabelledReleaseManifest,
                  v::kLabelledReleaseSignature);
    const ManifestSearch search = Run("beta");
    EXPECT_EQ(search.releaseFolder, kServer2 + L"/release");
    EXPECT_EQ(search.release.channel, "release");
    EXPECT_TRUE(search.lastRefusal.empty());
}

TEST_F(Search, AnOversizedSignatureFailsItsCandidate) {
    servers.Serve(kServer1 + L"/release", v::kCurrentManifest,
                  std::string(v::kCurrentSignature) + std::string(4096, '\n'));
    EXPECT_TRUE(Run("release").releaseFolder.empty());
}

TEST_F(Search, RefusalsAreRememberedAndTheLastOneWins) {
    servers.Serve(kServer1 + L"/release", v::kExpiredManifest, v::kExpiredSignature);
    servers.Serve(kServer2 + L"/release", v::kCurrentManifest, v::kCurrentSignature);
    // Installed: a release newer than the current manifest, so server 2 refuses too.
    const ManifestSearch refused = Run("release", "2025-06-02T00:00:00Z");
    EXPECT_TRUE(refused.releaseFolder.empty());
    EXPECT_EQ(refused.lastRefusal, "manifeste plus ancien que la version installée : refusé");

    servers.requests.clear();
    const ManifestSearch accepted = Run("release", "2025-06-01T00:00:00Z");  // same date: fine
    EXPECT_EQ(accepted.releaseFolder, kServer2 + L"/release");
    servers.documents.erase(kServer2 + L"/release/manifest.json");
    const ManifestSearch expired = Run("release");
    EXPECT_EQ(expired.lastRefusal,
              "manifeste périmé (2020-02-01T00:00:00Z) : plateforme ou horloge du PC à vérifier");
}

struct OutcomeCase {
    bool launcherExists;
    std::string refusal;
    bool explicitRoot;
    std::wstring heading;
    std::wstring detail;
    double progress;
    unsigned pauseMs;
    bool launch;
    int result;
};

TEST(NoManifestOutcome, EverySituationHasItsStatusPauseAndResult) {
    const std::string stale = "manifeste plus ancien que la version installée : refusé";
    const std::wstring staleWide = L"manifeste plus ancien que la version installée : refusé";
    const std::wstring offline = L"Plateforme injoignable : vérifie ta connexion puis relance.";
    const OutcomeCase cases[] = {
        {true, "", false, L"Hors ligne", L"Lancement de la version installée", 1.0, 900, true, 0},
        {true, "", true, L"Hors ligne", L"Lancement de la version installée", 1.0, 900, true, 0},
        {true, stale, false, L"Mise à jour refusée", staleWide, 1.0, 2500, true, 0},
        {false, "", false, L"Impossible d'installer Zelk", offline, 0.0, 0, false, 2},
        {false, "", true, L"Impossible d'installer Zelk", offline, 0.0, 0, false, 12},
        {false, stale, false, L"Impossible d'installer Zelk", staleWide, 0.0, 0, false, 2},
        {false, stale, true, L"Impossible d'installer Zelk", staleWide, 0.0, 0, false, 12},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "launcher " << c.launcherExists << ", refusal \""
                                          << c.refusal << "\", explicit root " << c.explicitRoot);
        const NoManifestOutcome outcome =
            ChooseNoManifestOutcome(c.launcherExists, c.refusal, c.explicitRoot);
        EXPECT_EQ(outcome.heading, c.heading);
        EXPECT_EQ(outcome.detail, c.detail);
        EXPECT_EQ(outcome.progress, c.progress);
        EXPECT_EQ(outcome.pauseMs, c.pauseMs);
        EXPECT_EQ(outcome.launch, c.launch);
        if (!c.launch) {
            EXPECT_EQ(outcome.result, c.result);
        }
    }
}

TEST(NoManifestOutcome, TroubleTheUserCanActOnReplacesOnlyTheDetailOfNoAnswer) {
    const std::string stale = "manifeste plus ancien que la version installée : refusé";
    const std::pair<NetworkTrouble, std::wstring> troubles[] = {
        {NetworkTrouble::Certificate,
         L"Connexion sécurisée refusée : vérifie la date et l'heure du PC."},
        {NetworkTrouble::ProxyCredentials, L"Le proxy demande une identification."},
        {NetworkTrouble::Unavailable,
         L"Serveur de mises à jour indisponible : réessaie plus tard."},
    };
    for (const auto& [trouble, text] : troubles) {
        for (const bool launcher : {true, false}) {
            for (const std::string& refusal : {std::string(), stale}) {
                SCOPED_TRACE(::testing::Message()
                             << "trouble " << static_cast<int>(trouble) << ", launcher " << launcher
                             << ", refusal \"" << refusal << "\"");
                const NoManifestOutcome plain = ChooseNoManifestOutcome(launcher, refusal, true);
                const NoManifestOutcome told =
                    ChooseNoManifestOutcome(launcher, refusal, true, trouble);
                EXPECT_EQ(told.heading, plain.heading);
                EXPECT_EQ(told.detail, refusal.empty() ? text : plain.detail);
                EXPECT_EQ(told.progress, plain.progress);
                EXPECT_EQ(told.pauseMs, plain.pauseMs);
                EXPECT_EQ(told.launch, plain.launch);
                EXPECT_EQ(told.result, plain.result);
            }
        }
    }
}

TEST_F(Search, EveryRequestAnsweredBusyIsTheOnlyWayToUnavailable) {
    const auto answering = [](std::uint32_t first, std::uint32_t others) {
        return [first, others, count = 0](const std::wstring&, std::vector<std::uint8_t>&,
                                          std::uint64_t) mutable {
            return HttpResult{false, count++ == 0 ? first : others, 0};
        };
    };
    const std::vector<std::wstring> bases{kServer1, kServer2};
    const std::string date = "2025-01-01T00:00:00Z";
    EXPECT_EQ(SearchManifest(bases, "beta", date, L"C:\\Zelk\\app", answering(503, 429))
                  .troubles.Reason(),
              NetworkTrouble::Unavailable);
    EXPECT_EQ(SearchManifest(bases, "beta", date, L"C:\\Zelk\\app", answering(404, 503))
                  .troubles.Reason(),
              NetworkTrouble::None);
    EXPECT_EQ(SearchManifest(bases, "beta", date, L"C:\\Zelk\\app", answering(407, 503))
                  .troubles.Reason(),
              NetworkTrouble::ProxyCredentials);
}

}  // namespace
}  // namespace zelk

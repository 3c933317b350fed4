// The release that tools/publish.py wrote (publish_fixture.py, run by ctest before this
// program) checked by the program's own code: publisher and client agree byte for byte.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "integrity/built_in_keys.h"
#include "integrity/sha256.h"
#include "integrity/signature.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

fs::path publishedSite() {
    const char* value = std::getenv("ZELK_PUBLISHED_RELEASE");
    return value != nullptr ? fs::path(value) : fs::path();
}

std::vector<std::uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The digests a manifest names, found as text: this module has no JSON reader of its own.
std::vector<std::string> namedDigests(const std::vector<std::uint8_t>& manifest) {
    const std::string text(manifest.begin(), manifest.end());
    const std::string_view marker = "\"sha256\": \"";
    std::vector<std::string> digests;
    for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        digests.push_back(text.substr(at + marker.size(), 64));
    }
    return digests;
}

bool verifyWith(const std::array<std::uint8_t, 64>& key, const Sha256Digest& digest,
                std::span<const std::uint8_t> signature) {
    return verifyWithKey(std::span<const std::uint8_t, 32>(key.data(), 32),
                         std::span<const std::uint8_t, 32>(key.data() + 32, 32), digest, signature);
}

struct Channel {
    const char* name;
    const std::array<std::uint8_t, 64>& signer;
    const std::array<std::uint8_t, 64>& other;
};
const Channel kChannels[] = {
    {"release", keys::kPrimaryPublicKey, keys::kSecondaryPublicKey},
    {"beta", keys::kSecondaryPublicKey, keys::kPrimaryPublicKey},
};

TEST(PublishedRelease, ManifestsVerifyWithTheBuiltInKeys) {
    if (!keys::kDevelopmentKeys) {
        GTEST_SKIP() << "the fixture signs with the development keys, this build trusts others";
    }
    const fs::path site = publishedSite();
    ASSERT_FALSE(site.empty()) << "ZELK_PUBLISHED_RELEASE is not set: run this through ctest";
    for (const auto& channel : kChannels) {
        SCOPED_TRACE(channel.name);
        auto manifest = readFile(site / channel.name / "manifest.json");
        const auto text = readFile(site / channel.name / "manifest.sig");
        ASSERT_FALSE(manifest.empty());
        const auto signature = decodeSignature(
            std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
        ASSERT_EQ(signature.size(), 64u);
        EXPECT_TRUE(verifyManifestSignature(manifest, signature));

        // Signed by the key the channel was published with, and only by it.
        Sha256Digest digest{};
        ASSERT_TRUE(sha256Digest(manifest, digest));
        EXPECT_TRUE(verifyWith(channel.signer, digest, signature));
        EXPECT_FALSE(verifyWith(channel.other, digest, signature));

        manifest.push_back('\n');
        EXPECT_FALSE(verifyManifestSignature(manifest, signature));
    }
}

TEST(PublishedRelease, ContentStoreHoldsEveryNamedDigest) {
    const fs::path site = publishedSite();
    ASSERT_FALSE(site.empty()) << "ZELK_PUBLISHED_RELEASE is not set: run this through ctest";
    for (const auto& channel : kChannels) {
        SCOPED_TRACE(channel.name);
        const auto digests = namedDigests(readFile(site / channel.name / "manifest.json"));
        // The bootstrapper and five files, two of them with the same content.
        EXPECT_EQ(digests.size(), 6u);
        for (const auto& digest : digests) {
            const fs::path file = site / channel.name / "files" / digest;
            std::error_code error;
            EXPECT_TRUE(fs::is_regular_file(file, error)) << digest;
            EXPECT_EQ(sha256Hex(readFile(file)), digest);
        }

        std::set<std::string> stored;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(site / channel.name / "files", error)) {
            const std::string name = entry.path().filename().string();
            EXPECT_EQ(sha256Hex(readFile(entry.path())), name);
            stored.insert(name);
        }
        ASSERT_FALSE(error) << error.message();
        EXPECT_EQ(stored, std::set<std::string>(digests.begin(), digests.end()));
    }
}

}  // namespace
}  // namespace zelk

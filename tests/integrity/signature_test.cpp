#include "integrity/signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "integrity/built_in_keys.h"
#include "integrity/sha256.h"
#include "signature_vectors.h"

namespace zelk {
namespace {

using namespace vectors;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<std::uint8_t> toBytes(std::string_view text) {
    return {text.begin(), text.end()};
}

bool verifyText(std::span<const std::uint8_t> manifest, std::string_view signatureText) {
    return verifyManifestSignature(manifest, decodeSignature(signatureText));
}

bool verifyText(std::string_view manifest, std::string_view signatureText) {
    return verifyText(bytesOf(manifest), signatureText);
}

bool verifyWithDevKey(const std::array<std::uint8_t, 64>& key, std::string_view manifest,
                      std::span<const std::uint8_t> signature) {
    Sha256Digest digest{};
    if (!sha256Digest(bytesOf(manifest), digest)) {
        return false;
    }
    return verifyWithKey(std::span<const std::uint8_t, 32>(key.data(), 32),
                         std::span<const std::uint8_t, 32>(key.data() + 32, 32), digest, signature);
}

// The vectors are signed with the development keys; a build configured with other keys
// cannot accept them, by design.
class BuiltInKeys : public ::testing::Test {
protected:
    void SetUp() override {
        if (!keys::kDevelopmentKeys) {
            GTEST_SKIP() << "this build carries its own public keys, not the development keys";
        }
    }
};

TEST(DecodeSignature, DecodesBase64) {
    EXPECT_EQ(decodeSignature("QUJD"), toBytes("ABC"));
    EXPECT_EQ(decodeSignature("QUI="), toBytes("AB"));
    EXPECT_EQ(decodeSignature(kSignatureAPrimary).size(), 64u);
    EXPECT_EQ(decodeSignature("AAECAwQFBgcICf8="),
              (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xFF}));
}

TEST(DecodeSignature, ReadsOnlyTheGivenText) {
    // The view's end is the text's end, terminating zero or not.
    EXPECT_EQ(decodeSignature(std::string_view("QUJDRA==QUJD", 8)), toBytes("ABCD"));
    // An empty view over valid Base64 is still empty text.
    EXPECT_TRUE(decodeSignature(std::string_view("QUJD", 0)).empty());
}

TEST(DecodeSignature, RefusesTextThatIsNotBase64) {
    const std::string pem = "-----BEGIN SIGNATURE-----\n" + std::string(kSignatureAPrimary) +
                            "\n-----END SIGNATURE-----\n";
    const std::string_view rejected[] = {
        "",
        "\r\n",
        "not base64!",
        pem,
        "qoQPw3Tdtk%Yr4iUKU",
        "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9",
        std::string_view("QUJD\0QUJD", 9),
    };
    for (std::string_view text : rejected) {
        EXPECT_TRUE(decodeSignature(text).empty()) << text;
    }
}

TEST(DecodeSignature, AllowsTheLineEndAnEditorAdds) {
    const auto plain = decodeSignature(kSignatureAPrimary);
    EXPECT_EQ(decodeSignature(std::string(kSignatureAPrimary) + "\n"), plain);
    EXPECT_EQ(decodeSignature(std::string(kSignatureAPrimary) + "\r\n"), plain);
}

TEST_F(BuiltInKeys, AreTheConfiguredValuesInOrder) {
    EXPECT_EQ(keys::kPrimaryPublicKey, kDevPrimaryKey);
    EXPECT_EQ(keys::kSecondaryPublicKey, kDevSecondaryKey);
}

TEST_F(BuiltInKeys, SignaturesOfEitherKeyVerify) {
    EXPECT_TRUE(verifyText(kManifestA, kSignatureAPrimary));
    EXPECT_TRUE(verifyText(kManifestA, kSignatureASecondary));
    EXPECT_TRUE(verifyText(kManifestB, kSignatureBPrimary));
    EXPECT_TRUE(verifyText(kManifestCrlf, kSignatureCrlfSecondary));
}

TEST_F(BuiltInKeys, EveryChangedByteFails) {
    const auto original = toBytes(kManifestA);
    for (std::size_t i = 0; i < original.size(); ++i) {
        auto changed = original;
        changed[i] ^= 0x01;
        EXPECT_FALSE(verifyText(changed, kSignatureAPrimary)) << "byte " << i;
        changed[i] = original[i] ^ 0x20;
        EXPECT_FALSE(verifyText(changed, kSignatureASecondary)) << "byte " << i;
    }
}

TEST_F(BuiltInKeys, WhitespaceAndLineEndsAreSigned) {
    const std::string a(kManifestA);
    std::string crlf;
    for (char c : a) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    std::string firstCrlf = a;
    firstCrlf.replace(firstCrlf.find('\n'), 1, "\r\n");
    const std::string spaced = a.substr(0, 1) + " " + a.substr(1);
    const std::string changed[] = {
        a + "\n", a.substr(0, a.size() - 1), crlf, firstCrlf, spaced, a + " ", a + '\0', " " + a,
        "",
    };
    for (const auto& manifest : changed) {
        EXPECT_FALSE(verifyText(manifest, kSignatureAPrimary)) << manifest;
        EXPECT_FALSE(verifyText(manifest, kSignatureASecondary)) << manifest;
    }
    // The CR LF manifest is signed as such: its signature does not carry over to LF.
    EXPECT_FALSE(verifyText(kManifestB, kSignatureCrlfSecondary));
}

TEST_F(BuiltInKeys, SignatureOfAnotherManifestFails) {
    EXPECT_FALSE(verifyText(kManifestA, kSignatureBPrimary));
    EXPECT_FALSE(verifyText(kManifestB, kSignatureAPrimary));
    EXPECT_FALSE(verifyText(kManifestB, kSignatureASecondary));
    EXPECT_FALSE(verifyText(kManifestCrlf, kSignatureBPrimary));
}

TEST_F(BuiltInKeys, AnythingButSixtyFourValidBytesFails) {
    const auto der = decodeSignature(kDerSignatureA);
    ASSERT_GE(der.size(), 70u);
    ASSERT_LE(der.size(), 72u);
    const auto valid = decodeSignature(kSignatureAPrimary);
    ASSERT_EQ(valid.size(), 64u);

    const std::vector<std::uint8_t> shorter(valid.begin(), valid.end() - 1);
    auto longer = valid;
    longer.push_back(0);
    auto twice = valid;
    twice.insert(twice.end(), valid.begin(), valid.end());
    auto swapped = valid;  // s || r
    std::rotate(swapped.begin(), swapped.begin() + 32, swapped.end());
    std::vector<std::uint8_t> rAndSOne(64, 0);
    rAndSOne[31] = 1;
    rAndSOne[63] = 1;
    const std::vector<std::uint8_t> rejected[] = {
        der,
        shorter,
        longer,
        twice,
        {},
        swapped,
        std::vector<std::uint8_t>(64, 0),
        std::vector<std::uint8_t>(64, 0xFF),
        rAndSOne,
    };
    for (const auto& signature : rejected) {
        EXPECT_FALSE(verifyManifestSignature(bytesOf(kManifestA), signature))
            << signature.size() << " bytes";
    }

    for (std::size_t i = 0; i < valid.size(); ++i) {
        auto changed = valid;
        changed[i] ^= 0x40;
        EXPECT_FALSE(verifyManifestSignature(bytesOf(kManifestA), changed)) << "byte " << i;
    }
}

TEST(VerifyWithKey, EachSignatureVerifiesOnlyUnderItsOwnKey) {
    const auto primary = decodeSignature(kSignatureAPrimary);
    const auto secondary = decodeSignature(kSignatureASecondary);
    EXPECT_TRUE(verifyWithDevKey(kDevPrimaryKey, kManifestA, primary));
    EXPECT_FALSE(verifyWithDevKey(kDevSecondaryKey, kManifestA, primary));
    EXPECT_TRUE(verifyWithDevKey(kDevSecondaryKey, kManifestA, secondary));
    EXPECT_FALSE(verifyWithDevKey(kDevPrimaryKey, kManifestA, secondary));
    EXPECT_FALSE(verifyWithDevKey(kDevPrimaryKey, kManifestB, primary));
}

TEST(VerifyWithKey, FailsClosedOnUnusableInput) {
    const auto valid = decodeSignature(kSignatureAPrimary);
    auto offCurve = kDevPrimaryKey;
    offCurve[63] ^= 0x01;
    const std::array<std::uint8_t, 64> zeroKey{};
    EXPECT_FALSE(verifyWithDevKey(offCurve, kManifestA, valid));
    EXPECT_FALSE(verifyWithDevKey(zeroKey, kManifestA, valid));

    auto der = decodeSignature(kDerSignatureA);
    EXPECT_FALSE(verifyWithDevKey(kDevPrimaryKey, kManifestA, der));
    EXPECT_FALSE(verifyWithDevKey(kDevPrimaryKey, kManifestA, {}));
    const std::vector<std::uint8_t> truncated(valid.begin(), valid.end() - 1);
    EXPECT_FALSE(verifyWithDevKey(kDevPrimaryKey, kManifestA, truncated));
}

}  // namespace
}  // namespace zelk

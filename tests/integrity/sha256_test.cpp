#include "integrity/sha256.h"

#include "common/win_handles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<std::uint8_t> pseudoRandomBytes(std::size_t count, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(count);
    for (auto& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    return bytes;
}

std::string hexOf(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

struct KnownAnswer {
    const char* name;
    std::string message;
    const char* digest;
};

// FIPS 180-4 examples (and the long message of the NIST test set).
const KnownAnswer kFipsVectors[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
     "mnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"one million a", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(Sha256Hex, GivesThePublishedDigests) {
    for (const auto& vector : kFipsVectors) {
        EXPECT_EQ(sha256Hex(bytesOf(vector.message)), vector.digest) << vector.name;
        Sha256Digest digest{};
        ASSERT_TRUE(sha256Digest(bytesOf(vector.message), digest)) << vector.name;
        EXPECT_EQ(hexOf(digest), vector.digest) << vector.name;
    }
    // A span without any storage behind it is the empty message too.
    EXPECT_EQ(sha256Hex({}), kFipsVectors[0].digest);
}

TEST(Sha256Hex, IsAlwaysSixtyFourLowerCaseDigits) {
    std::string previous;
    for (std::size_t length = 0; length <= 130; ++length) {
        const auto bytes = pseudoRandomBytes(length, static_cast<std::uint32_t>(length));
        const std::string text = sha256Hex(bytes);
        ASSERT_EQ(text.size(), 64u) << length;
        EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
        EXPECT_NE(text, previous) << length;
        previous = text;
    }
}

TEST(Sha256Pieces, EveryPieceSizeGivesTheDigestOfTheWhole) {
    const auto message = pseudoRandomBytes(10007, 42);
    Sha256Digest whole{};
    ASSERT_TRUE(sha256Digest(message, whole));
    for (std::size_t pieceSize :
         {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{55}, std::size_t{63},
          std::size_t{64}, std::size_t{65}, std::size_t{4096}, std::size_t{10006},
          std::size_t{10007}, std::size_t{10008}, std::numeric_limits<std::size_t>::max()}) {
        Sha256Digest pieces{};
        ASSERT_TRUE(detail::sha256DigestInPieces(message, pieceSize, pieces)) << pieceSize;
        EXPECT_EQ(pieces, whole) << pieceSize;
    }

    Sha256Digest abc{};
    ASSERT_TRUE(detail::sha256DigestInPieces(bytesOf("abc"), 1, abc));
    EXPECT_EQ(hexOf(abc), kFipsVectors[1].digest);
}

TEST(Sha256Pieces, ZeroPieceSizeFails) {
    Sha256Digest digest{};
    EXPECT_FALSE(detail::sha256DigestInPieces(bytesOf("abc"), 0, digest));
}

// A file over several read pieces: its digest is that of its bytes, and a file shorter
// than asked for fails rather than hashing what it has (or waiting for more).
TEST(Sha256File, HashesExactlyTheBytesAskedForAndNeverFewer) {
    const std::vector<std::uint8_t> bytes = pseudoRandomBytes((3u << 20) + 5, 7);
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / L"zelk-sha256-file-test.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    for (const std::uint64_t asked :
         {std::uint64_t{bytes.size()}, std::uint64_t{bytes.size() + 1}}) {
        UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        const Sha256Stream hash = Sha256Begin();
        const bool read = Sha256AddFile(hash, file.get(), asked);
        EXPECT_EQ(read, asked == bytes.size()) << asked;
        if (read) {
            EXPECT_EQ(Sha256FinishHex(hash), sha256Hex(bytes));
        }
    }
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace zelk

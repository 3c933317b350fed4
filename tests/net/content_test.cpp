// downloadContent over the nginx content store (files/<digest>, filled by
// net_servers.py) and the fault server, whose path-encoded answers ignore the
// "/files/<digest>" that the client appends to a base.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "integrity/sha256.h"
#include "net/content.h"
#include "test_servers.h"

namespace zelk {
namespace {

using testing::FaultLog;
using testing::Pattern;
using testing::Servers;
using testing::ServersOrFail;
using testing::TestTag;
using testing::Wide;

// In the nginx store (net_servers.py STORE).
constexpr std::uint64_t kStored = 100000;
constexpr int kStoredSeed = 1;

std::string DigestOf(const std::vector<std::uint8_t>& bytes) {
    return sha256Hex(bytes);
}

// A fault-server base that answers `answer` (e.g. "status/404") and carries this
// test's tag, so its requests can be found in the shared log.
std::wstring FaultBase(const std::string& answer, const std::string& label = "") {
    return Servers().fault + Wide("/" + answer + "/" + TestTag() + label);
}

int SeenWithPrefix(const std::wstring& base) {
    const std::string path(base.begin() + static_cast<std::ptrdiff_t>(Servers().fault.size()),
                           base.end());
    const std::vector<std::string> log = FaultLog();
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& seen) {
        return seen.rfind(path + "/files/", 0) == 0;
    }));
}

TEST(DownloadContent, FallsBackToTheNextServerAfterA404) {
    ASSERT_TRUE(ServersOrFail());
    const std::vector<std::uint8_t> expected = Pattern(kStored, kStoredSeed);
    const std::string digest = DigestOf(expected);
    const std::wstring missing = FaultBase("status/404");
    std::vector<std::uint8_t> body = {9, 9, 9};
    std::wstring servedBy = L"unchanged";
    EXPECT_TRUE(downloadContent({missing, Servers().http}, digest, body, {}, kStored, &servedBy));
    EXPECT_EQ(body, expected);
    EXPECT_EQ(SeenWithPrefix(missing), 1);
    EXPECT_EQ(servedBy, Servers().http);  // for the log: the server that delivered

    // The same over https, from the trusted store.
    body.clear();
    EXPECT_TRUE(downloadContent({Servers().https}, digest, body, {}, kStored));
    EXPECT_EQ(body, expected);
}

TEST(DownloadContent, StopsAtTheFirstServerThatDelivers) {
    ASSERT_TRUE(ServersOrFail());
    const std::vector<std::uint8_t> expected = Pattern(kStored, kStoredSeed);
    const std::wstring never = FaultBase("status/404");
    std::vector<std::uint8_t> body;
    EXPECT_TRUE(downloadContent({Servers().http, never}, DigestOf(expected), body, {}, kStored));
    EXPECT_EQ(body, expected);
    EXPECT_EQ(SeenWithPrefix(never), 0);
}

TEST(DownloadContent, SizeMustMatchExactly) {
    ASSERT_TRUE(ServersOrFail());
    constexpr std::uint64_t kSize = 5000;
    const std::string digest = DigestOf(Pattern(kSize, 7));
    std::vector<std::uint8_t> body;
    EXPECT_TRUE(downloadContent({FaultBase("bytes/5000/7")}, digest, body, {}, kSize));
    EXPECT_EQ(body, Pattern(kSize, 7));
    // Same leading bytes, one more or one less: both fail, each server tried once.
    const std::wstring longer = FaultBase("bytes/5001/7");
    const std::wstring shorter = FaultBase("bytes/4999/7");
    ProgressCallback noProgress;
    EXPECT_FALSE(downloadContent({longer, shorter}, digest, body, noProgress, kSize));
    EXPECT_EQ(SeenWithPrefix(longer), 1);
    EXPECT_EQ(SeenWithPrefix(shorter), 1);
    // The longer one is abandoned before its last byte is taken in.
    std::vector<std::uint64_t> reports;
    EXPECT_FALSE(downloadContent(
        {longer}, digest, body, [&](std::uint64_t n) { reports.push_back(n); }, kSize));
    for (std::uint64_t n : reports) {
        EXPECT_LE(n, kSize);
    }
}

TEST(DownloadContent, WrongContentOrACutTransferMovesOn) {
    ASSERT_TRUE(ServersOrFail());
    const std::vector<std::uint8_t> expected = Pattern(kStored, kStoredSeed);
    const std::wstring wrong = FaultBase("bytes/100000/9");
    const std::wstring cut = FaultBase("cut/100000/1/60000");
    const std::wstring chunkedCut = FaultBase("chunked-cut/100000/1/60000/1000");
    std::vector<std::uint8_t> body;
    EXPECT_TRUE(downloadContent({wrong, cut, chunkedCut, Servers().http}, DigestOf(expected), body,
                                {}, kStored));
    EXPECT_EQ(body, expected);
    EXPECT_EQ(SeenWithPrefix(wrong), 1);
    EXPECT_EQ(SeenWithPrefix(cut), 1);
    EXPECT_EQ(SeenWithPrefix(chunkedCut), 1);
}

TEST(DownloadContent, ZeroSizeSucceedsOnlyOnAnEmptyOk) {
    ASSERT_TRUE(ServersOrFail());
    const std::string empty = DigestOf({});
    std::vector<std::uint8_t> body = {1};
    EXPECT_TRUE(downloadContent({FaultBase("bytes/0/1")}, empty, body, {}, 0));
    EXPECT_TRUE(body.empty());
    EXPECT_TRUE(downloadContent({Servers().http}, empty, body, {}, 0));
    EXPECT_FALSE(downloadContent({FaultBase("status/404")}, empty, body, {}, 0));
    EXPECT_FALSE(downloadContent({FaultBase("status/304")}, empty, body, {}, 0));
    EXPECT_FALSE(downloadContent({FaultBase("bytes/1/1")}, empty, body, {}, 0));
}

TEST(DownloadContent, UpperCaseDigestNeverVerifies) {
    ASSERT_TRUE(ServersOrFail());
    std::string upper = DigestOf(Pattern(kStored, kStoredSeed));
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    // The store also holds the file under its upper-case name: the bytes arrive,
    // and only the comparison refuses them.
    std::vector<std::uint8_t> body;
    EXPECT_FALSE(downloadContent({Servers().http}, upper, body, {}, kStored));
    EXPECT_EQ(body, Pattern(kStored, kStoredSeed));
}

TEST(DownloadContent, NoServersFails) {
    std::vector<std::uint8_t> body = {4, 5};
    EXPECT_FALSE(downloadContent({}, DigestOf({}), body, {}, 0));
    EXPECT_EQ(body, (std::vector<std::uint8_t>{4, 5}));
}

TEST(DownloadContent, ProgressStartsAgainFromZeroOnTheNextServer) {
    ASSERT_TRUE(ServersOrFail());
    constexpr std::uint64_t kSize = 3 * 1048576 + 5;
    const std::vector<std::uint8_t> expected = Pattern(kSize, 2);
    std::vector<std::uint64_t> reports;
    std::vector<std::uint8_t> body;
    // The first server sends the right size with the wrong bytes.
    EXPECT_TRUE(downloadContent(
        {FaultBase("bytes/3145733/8"), Servers().http}, DigestOf(expected), body,
        [&](std::uint64_t n) { reports.push_back(n); }, kSize));
    EXPECT_EQ(body, expected);
    // Two runs that each grow to the full size: one drop between them.
    std::vector<std::size_t> drops;
    for (std::size_t i = 1; i < reports.size(); ++i) {
        if (reports[i] <= reports[i - 1]) {
            drops.push_back(i);
        }
    }
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(reports[drops[0] - 1], kSize);
    EXPECT_LT(reports[drops[0]], kSize);
    EXPECT_EQ(reports.back(), kSize);
}

}  // namespace
}  // namespace zelk

// downloadContent and FetchContents over the nginx content store (files/<digest>,
// filled by net_servers.py) and the fault server, whose path-encoded answers ignore
// the "/files/<digest>" that the client appends to a base, and whose /_route sets
// the answer of one exact path.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "integrity/sha256.h"
#include "net/content.h"
#include "support/scratch.h"
#include "test_servers.h"

namespace zelk {
namespace {

using testing::FaultLog;
using testing::Pattern;
using testing::ReadBytes;
using testing::ScratchDir;
using testing::Servers;
using testing::ServersOrFail;
using testing::TestTag;
using testing::Wide;
using testing::WriteBytes;

// In the nginx store (net_servers.py STORE).
constexpr std::uint64_t kStored = 100000;
constexpr int kStoredSeed = 1;
constexpr std::uint64_t kBig = 3 * 1048576 + 5;
constexpr int kBigSeed = 2;

std::string DigestOf(const std::vector<std::uint8_t>& bytes) {
    return sha256Hex(bytes);
}

std::string Text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A fault-server base that answers `answer` (e.g. "status/404") and carries this
// test's tag, so its requests can be found in the shared log.
std::wstring FaultBase(const std::string& answer, const std::string& label = "") {
    return Servers().fault + Wide("/" + answer + "/" + TestTag() + label);
}

// A base of this test's own on the fault server, whose files are routed one by one.
std::wstring RoutedBase() {
    return Servers().fault + Wide("/routed/" + TestTag());
}

// Makes base + "/files/" + digest answer as the path encoding `answer` says.
void Route(const std::wstring& base, const std::string& digest, const std::string& answer) {
    const std::string path =
        std::string(base.begin() + static_cast<std::ptrdiff_t>(Servers().fault.size()),
                    base.end()) +
        "/files/" + digest;
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(httpGet(Servers().fault + Wide("/_route?for=" + path + "&answer=" + answer), reply,
                        {}, 100));
}

int SeenWithPrefix(const std::wstring& base) {
    const std::string path(base.begin() + static_cast<std::ptrdiff_t>(Servers().fault.size()),
                           base.end());
    const std::vector<std::string> log = FaultLog();
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& seen) {
        return seen.rfind(path + "/files/", 0) == 0;
    }));
}

class Content : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ServersOrFail()); }
    ContentFetch Fetch(const std::vector<std::wstring>& bases, const std::string& digest,
                       std::uint64_t size, const ProgressCallback& progress = {}) {
        return downloadContent(session_, bases, digest, size, partial(), progress);
    }
    std::filesystem::path partial() const { return scratch_ / L"partial"; }

    HttpSession session_ = OpenHttpSession();
    ScratchDir scratch_;
};

TEST_F(Content, FallsBackToTheNextServerAfterA404) {
    const std::vector<std::uint8_t> expected = Pattern(kStored, kStoredSeed);
    const std::wstring missing = FaultBase("status/404");
    const ContentFetch fetch = Fetch({missing, Servers().http}, DigestOf(expected), kStored);
    EXPECT_TRUE(fetch.ok);
    EXPECT_EQ(fetch.servedBy, Servers().http);
    EXPECT_EQ(ReadBytes(partial()), Text(expected));
    EXPECT_EQ(SeenWithPrefix(missing), 1);

    // The same over https, from the trusted store.
    DeleteFileW(partial().c_str());
    EXPECT_TRUE(Fetch({Servers().https}, DigestOf(expected), kStored).ok);
    EXPECT_EQ(ReadBytes(partial()), Text(expected));
}

TEST_F(Content, StopsAtTheFirstServerThatDelivers) {
    const std::vector<std::uint8_t> expected = Pattern(kStored, kStoredSeed);
    const std::wstring never = FaultBase("status/404");
    EXPECT_TRUE(Fetch({Servers().http, never}, DigestOf(expected), kStored).ok);
    EXPECT_EQ(SeenWithPrefix(never), 0);
}

TEST_F(Content, SizeMustMatchExactly) {
    constexpr std::uint64_t kSize = 5000;
    const std::string digest = DigestOf(Pattern(kSize, 7));
    EXPECT_TRUE(Fetch({FaultBase("bytes/5000/7")}, digest, kSize).ok);
    EXPECT_EQ(ReadBytes(partial()), Text(Pattern(kSize, 7)));
    DeleteFileW(partial().c_str());
    // Same leading bytes, one more or one less: both fail, each server tried once.
    const std::wstring longer = FaultBase("bytes/5001/7");
    const std::wstring shorter = FaultBase("bytes/4999/7");
    std::vector<std::uint64_t> reports;
    const ContentFetch fetch =
        Fetch({longer, shorter}, digest, kSize, [&](std::uint64_t n) { reports.push_back(n); });
    EXPECT_FALSE(fetch.ok);
    EXPECT_EQ(SeenWithPrefix(longer), 1);
    EXPECT_EQ(SeenWithPrefix(shorter), 1);
    // The longer one is abandoned before its extra byte is taken in.
    for (std::uint64_t n : reports) {
        EXPECT_LE(n, kSize);
    }
}

TEST_F(Content, WrongContentMovesOnACutTransferIsResumedElsewhere) {
    const std::vector<std::uint8_t> expected = Pattern(kStored, kStoredSeed);
    const std::wstring wrong = FaultBase("bytes/100000/9");
    const std::wstring cut = FaultBase("cut/100000/1/60000");
    const ContentFetch fetch = Fetch({wrong, cut, Servers().http}, DigestOf(expected), kStored);
    EXPECT_TRUE(fetch.ok);
    EXPECT_EQ(ReadBytes(partial()), Text(expected));
    EXPECT_EQ(SeenWithPrefix(wrong), 1);
    EXPECT_EQ(SeenWithPrefix(cut), 1);
    // The wrong body whole, the cut one's 60000 bytes, then only the rest from nginx.
    EXPECT_EQ(fetch.received, kStored + 60000 + (kStored - 60000));
}

TEST_F(Content, ZeroSizeSucceedsOnlyOnAnEmptyOk) {
    const std::string empty = DigestOf({});
    EXPECT_TRUE(Fetch({FaultBase("bytes/0/1")}, empty, 0).ok);
    EXPECT_EQ(ReadBytes(partial()), "");
    EXPECT_TRUE(Fetch({Servers().http}, empty, 0).ok);
    EXPECT_FALSE(Fetch({FaultBase("status/404")}, empty, 0).ok);
    EXPECT_FALSE(Fetch({FaultBase("status/304")}, empty, 0).ok);
    EXPECT_FALSE(Fetch({FaultBase("bytes/1/1")}, empty, 0).ok);
}

TEST_F(Content, UpperCaseDigestIsNeverAskedFor) {
    std::string upper = DigestOf(Pattern(kStored, kStoredSeed));
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    // The store also holds the file under its upper-case name, but a digest is written one
    // way only: nothing is asked for, and no partial file is made under that name.
    const ContentFetch fetch = Fetch({Servers().http}, upper, kStored);
    EXPECT_FALSE(fetch.ok);
    EXPECT_EQ(fetch.received, 0u);
    EXPECT_EQ(ReadBytes(partial()), "<missing>");
}

TEST_F(Content, NoServersFails) {
    EXPECT_FALSE(Fetch({}, DigestOf({}), 0).ok);
}

TEST_F(Content, ProgressNeverPassesTheSizeAndRestartsOnTheNextServer) {
    const std::vector<std::uint8_t> expected = Pattern(kBig, kBigSeed);
    std::vector<std::uint64_t> reports;
    // The first server sends the right size with the wrong bytes.
    EXPECT_TRUE(Fetch({FaultBase("bytes/3145733/8"), Servers().http}, DigestOf(expected), kBig,
                      [&](std::uint64_t n) { reports.push_back(n); })
                    .ok);
    // Two runs that each grow to the full size: one drop between them.
    std::vector<std::size_t> drops;
    for (std::size_t i = 1; i < reports.size(); ++i) {
        if (reports[i] < reports[i - 1]) {
            drops.push_back(i);
        }
    }
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(reports[drops[0] - 1], kBig);
    EXPECT_EQ(reports.back(), kBig);
    EXPECT_EQ(*std::max_element(reports.begin(), reports.end()), kBig);
}

// What an earlier run left: the first bytes of the content, under its digest.
class Resume : public Content {
protected:
    void Leave(const std::vector<std::uint8_t>& bytes, std::size_t count) {
        ASSERT_TRUE(WriteBytes(partial(), std::string(bytes.begin(), bytes.begin() + count)));
    }
    const std::vector<std::uint8_t> expected_ = Pattern(kStored, kStoredSeed);
    const std::string digest_ = DigestOf(expected_);
};

TEST_F(Resume, ARangeAsksOnlyForTheRestAndProgressStartsFromWhatIsHeld) {
    Leave(expected_, 70000);
    std::vector<std::uint64_t> reports;
    const ContentFetch fetch =
        Fetch({Servers().http}, digest_, kStored, [&](std::uint64_t n) { reports.push_back(n); });
    EXPECT_TRUE(fetch.ok);
    EXPECT_EQ(fetch.last.status, 206u);
    EXPECT_EQ(fetch.received, kStored - 70000);
    EXPECT_EQ(ReadBytes(partial()), Text(expected_));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front(), 70000u);
}

TEST_F(Resume, AServerWithoutRangesStartsTheFileAgain) {
    Leave(expected_, 70000);
    const ContentFetch fetch = Fetch({FaultBase("bytes/100000/1")}, digest_, kStored);
    EXPECT_TRUE(fetch.ok);
    EXPECT_EQ(fetch.last.status, 200u);
    EXPECT_EQ(fetch.received, kStored);
    EXPECT_EQ(ReadBytes(partial()), Text(expected_));
}

TEST_F(Resume, AnotherRangeIsNotJoinedTheFileIsFetchedWhole) {
    Leave(expected_, 70000);
    // Asked from 70000, it answers from 1000: the bytes are dropped and the same server
    // is asked for the whole file, which it sends (a 200: no Range any more).
    const std::wstring base = RoutedBase();
    Route(base, digest_, "/wrong-range/100000/1/1000");
    const ContentFetch wrong = Fetch({base}, digest_, kStored);
    EXPECT_FALSE(wrong.ok);  // the same wrong answer to the whole request
    EXPECT_EQ(SeenWithPrefix(base), 2);
    EXPECT_EQ(ReadBytes(partial()), "");

    Leave(expected_, 70000);
    const std::wstring honest = FaultBase("ranged/bytes/100000/1", "honest");
    Route(base, digest_, "/wrong-range/100000/1/1000");
    const ContentFetch fetch = Fetch({base, honest}, digest_, kStored);
    EXPECT_TRUE(fetch.ok);
    EXPECT_EQ(fetch.servedBy, honest);
    EXPECT_EQ(ReadBytes(partial()), Text(expected_));
}

TEST_F(Resume, ARefusedRangeIsDroppedAndTheFileFetchedWholeFromTheSameServer) {
    Leave(expected_, 70000);
    const std::wstring refusing = FaultBase("refusing-ranges/bytes/100000/1");
    const ContentFetch fetch = Fetch({refusing}, digest_, kStored);
    EXPECT_TRUE(fetch.ok);
    EXPECT_EQ(SeenWithPrefix(refusing), 2);  // the 416, then the whole file
    EXPECT_EQ(fetch.received, kStored);
    EXPECT_EQ(ReadBytes(partial()), Text(expected_));
}

TEST_F(Resume, TamperedBytesAreFoundAndTheFileIsFetchedWholeOnce) {
    std::vector<std::uint8_t> tampered = expected_;
    tampered[123] ^= 0x40;
    Leave(tampered, 70000);
    const std::wstring ranged = FaultBase("ranged/bytes/100000/1");
    const ContentFetch fetch = Fetch({ranged}, digest_, kStored);
    EXPECT_TRUE(fetch.ok);
    EXPECT_EQ(SeenWithPrefix(ranged), 2);  // the rest, then the whole file: no loop
    EXPECT_EQ(fetch.received, (kStored - 70000) + kStored);
    EXPECT_EQ(ReadBytes(partial()), Text(expected_));

    // A server that keeps sending wrong bytes is asked twice at most.
    Leave(tampered, 70000);
    const std::wstring liar = FaultBase("ranged/bytes/100000/5");
    EXPECT_FALSE(Fetch({liar}, digest_, kStored).ok);
    EXPECT_EQ(SeenWithPrefix(liar), 2);
}

TEST_F(Resume, CompleteBytesFromAnEarlierRunNeedNoRequest) {
    Leave(expected_, kStored);
    const std::wstring never = FaultBase("status/404");
    const ContentFetch fetch = Fetch({never}, digest_, kStored);
    EXPECT_TRUE(fetch.ok);
    EXPECT_EQ(SeenWithPrefix(never), 0);
    EXPECT_EQ(fetch.received, 0u);
}

TEST_F(Resume, ANetworkFailureKeepsWhatArrivedForTheNextTry) {
    const ContentFetch cut = Fetch({FaultBase("cut/100000/1/60000")}, digest_, kStored);
    EXPECT_FALSE(cut.ok);
    EXPECT_EQ(ReadBytes(partial()), Text(expected_).substr(0, 60000));
    EXPECT_TRUE(Fetch({Servers().http}, digest_, kStored).ok);
    EXPECT_EQ(ReadBytes(partial()), Text(expected_));
}

TEST_F(Content, ALargeContentIsWrittenAndHashedBehindItsReads) {
    // Large enough to be written and hashed on a thread of its own.
    constexpr std::uint64_t kLarge = 9 * 1048576 + 7;
    const std::vector<std::uint8_t> expected = Pattern(kLarge, 3);
    std::vector<std::uint64_t> reports;
    const ContentFetch whole = Fetch({FaultBase("bytes/9437191/3")}, DigestOf(expected), kLarge,
                                     [&](std::uint64_t n) { reports.push_back(n); });
    EXPECT_TRUE(whole.ok);
    EXPECT_EQ(ReadBytes(partial()), Text(expected));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), kLarge);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));

    // Cut short, then the rest from a server that honours ranges.
    DeleteFileW(partial().c_str());
    EXPECT_FALSE(Fetch({FaultBase("cut/9437191/3/6000000")}, DigestOf(expected), kLarge).ok);
    EXPECT_EQ(ReadBytes(partial()).size(), 6000000u);
    const ContentFetch rest =
        Fetch({FaultBase("ranged/bytes/9437191/3")}, DigestOf(expected), kLarge);
    EXPECT_TRUE(rest.ok);
    EXPECT_EQ(rest.received, kLarge - 6000000);
    EXPECT_EQ(ReadBytes(partial()), Text(expected));

    // Wrong bytes of the right size are found once the last one is hashed.
    DeleteFileW(partial().c_str());
    EXPECT_FALSE(Fetch({FaultBase("bytes/9437191/4")}, DigestOf(expected), kLarge).ok);
    EXPECT_EQ(ReadBytes(partial()), "");
}

TEST_F(Content, AFileThatCannotBeWrittenIsNotANetworkFault) {
    const std::filesystem::path nowhere = scratch_ / L"missing" / L"partial";
    const std::wstring never = FaultBase("status/404");
    const ContentFetch fetch = downloadContent(
        session_, {never}, DigestOf(Pattern(kStored, kStoredSeed)), kStored, nowhere, {});
    EXPECT_FALSE(fetch.ok);
    EXPECT_NE(fetch.writeError, 0u);
    EXPECT_EQ(SeenWithPrefix(never), 0);
}

// Several contents at once: every one arrives once, whole, on the calling thread.
TEST_F(Content, EveryJobArrivesOnceOnTheCallingThread) {
    const std::vector<ContentJob> real = {
        {DigestOf(Pattern(kStored, kStoredSeed)), kStored},
        {DigestOf(Pattern(kBig, kBigSeed)), kBig},
        {DigestOf(Pattern(1, 1)), 1},
        {DigestOf({}), 0},
    };
    const DWORD caller = GetCurrentThreadId();
    std::vector<std::size_t> arrived;
    std::atomic<int> fetched{0};
    std::mutex lock;
    std::uint64_t mostHeld = 0;
    TransferEvents events;
    events.progress = [&](std::size_t slot, std::uint64_t held) {
        std::lock_guard<std::mutex> hold(lock);
        EXPECT_LT(slot, kMaxTransfers);
        mostHeld = std::max(mostHeld, held);
    };
    events.fetched = [&](std::size_t, std::size_t) { ++fetched; };
    events.arrived = [&](std::size_t job, const std::filesystem::path& file, const ContentFetch&) {
        EXPECT_EQ(GetCurrentThreadId(), caller);
        EXPECT_EQ(ReadBytes(file).size(), real[job].size);
        EXPECT_EQ(sha256Hex(testing::Bytes(ReadBytes(file))), real[job].digest);
        arrived.push_back(job);
        return true;
    };
    const TransfersOutcome outcome =
        FetchContents(session_, {Servers().http}, real, scratch_.path(), events);
    EXPECT_TRUE(outcome.complete);
    std::sort(arrived.begin(), arrived.end());
    EXPECT_EQ(arrived, (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_EQ(fetched.load(), 4);
    EXPECT_EQ(mostHeld, kBig);
}

TEST_F(Content, TheFirstFailureStopsTheOtherTransfers) {
    // One content trickles in for about ten seconds, or waits for headers that drip in
    // one byte every 20 s; another is missing everywhere.
    for (const char* slowly : {"/trickle/3145733/2/16384/50", "/header-drip/3145733/2/30/20000"}) {
        SCOPED_TRACE(slowly);
        const std::wstring base = RoutedBase() + Wide(slowly);
        const std::string slow = DigestOf(Pattern(kBig, kBigSeed));
        const std::string missing = DigestOf(Pattern(7, 7));
        Route(base, slow, slowly);
        Route(base, missing, "/status/404");
        std::vector<std::size_t> arrived;
        TransferEvents events;
        events.arrived = [&](std::size_t job, const std::filesystem::path&, const ContentFetch&) {
            arrived.push_back(job);
            return true;
        };
        const auto started = std::chrono::steady_clock::now();
        const TransfersOutcome outcome =
            FetchContents(session_, {base}, {{slow, kBig}, {missing, 7}}, scratch_.path(), events);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - started)
                                 .count();
        EXPECT_FALSE(outcome.complete);
        EXPECT_FALSE(outcome.refused);
        EXPECT_EQ(outcome.failedJob, 1u);
        EXPECT_EQ(outcome.failure.last.status, 404u);
        EXPECT_TRUE(arrived.empty());
        EXPECT_LT(seconds, 5);  // the slow one was stopped, not waited for
    }
}

TEST_F(Content, ACallerThatCannotTakeAFileStopsEverything) {
    const std::vector<ContentJob> jobs = {{DigestOf(Pattern(kStored, kStoredSeed)), kStored},
                                          {DigestOf(Pattern(kBig, kBigSeed)), kBig}};
    int calls = 0;
    TransferEvents events;
    events.arrived = [&](std::size_t, const std::filesystem::path&, const ContentFetch&) {
        ++calls;
        return false;
    };
    const TransfersOutcome outcome =
        FetchContents(session_, {Servers().http}, jobs, scratch_.path(), events);
    EXPECT_FALSE(outcome.complete);
    EXPECT_TRUE(outcome.refused);
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace zelk

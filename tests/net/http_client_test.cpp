// httpGet against real loopback servers: nginx over http and https, and the
// scripted fault server of tests/servers/servers.py (its paths encode the answer).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <utility>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "integrity/sha256.h"
#include "net/content.h"
#include "net/http_client.h"
#include "test_servers.h"

namespace zelk {
namespace {

using testing::FaultLog;
using testing::Pattern;
using testing::Servers;
using testing::ServersOrFail;
using testing::TestTag;
using testing::Wide;

constexpr std::uint64_t kNoCap = std::uint64_t{1} << 40;

std::wstring Fault(const std::string& path) {
    return Servers().fault + Wide(path);
}

// Records every progress report.
struct Reports {
    std::vector<std::uint64_t> values;
    ProgressCallback callback() {
        return [this](std::uint64_t received) { values.push_back(received); };
    }
};

TEST(HttpGet, PlainHttpOnANonDefaultPortAndHttpsWithATrustedCertificate) {
    ASSERT_TRUE(ServersOrFail());
    const std::vector<std::uint8_t> expected = Pattern(100000, 1);
    for (const std::wstring& base : {Servers().http, Servers().https}) {
        SCOPED_TRACE(base);
        std::vector<std::uint8_t> body;
        ASSERT_TRUE(httpGet(base + L"/pattern-100000-1.bin", body, {}, kNoCap));
        EXPECT_EQ(body, expected);
    }
}

TEST(HttpGet, TheSchemeAloneDecidesTls) {
    ASSERT_TRUE(ServersOrFail());
    std::wstring plainAsHttps = Servers().http;
    plainAsHttps.replace(0, 4, L"https");
    std::wstring tlsAsHttp = Servers().https;
    tlsAsHttp.replace(0, 5, L"http");
    std::vector<std::uint8_t> body;
    EXPECT_FALSE(httpGet(plainAsHttps + L"/pattern-1-1.bin", body, {}, kNoCap));
    EXPECT_FALSE(httpGet(tlsAsHttp + L"/pattern-1-1.bin", body, {}, kNoCap));
}

TEST(HttpGet, UntrustedCertificateFails) {
    ASSERT_TRUE(ServersOrFail());
    std::vector<std::uint8_t> body;
    EXPECT_FALSE(httpGet(Servers().httpsUntrusted + L"/pattern-1-1.bin", body, {}, kNoCap));
    EXPECT_TRUE(body.empty());
}

TEST(HttpGet, StatusOtherThan200LeavesTheBodyUntouched) {
    ASSERT_TRUE(ServersOrFail());
    const std::vector<std::uint8_t> before = {'o', 'l', 'd'};
    for (const char* path :
         {"/status/404", "/status/304", "/status/500", "/status/204", "/no-such-answer"}) {
        SCOPED_TRACE(path);
        std::vector<std::uint8_t> body = before;
        Reports reports;
        EXPECT_FALSE(httpGet(Fault(path), body, reports.callback(), kNoCap));
        EXPECT_EQ(body, before);
        EXPECT_TRUE(reports.values.empty());
    }
    // nginx's own 404 too.
    std::vector<std::uint8_t> body = before;
    EXPECT_FALSE(httpGet(Servers().http + L"/files/missing", body, {}, kNoCap));
    EXPECT_EQ(body, before);
}

TEST(HttpGet, EmptyOkIsTrueWithAnEmptyBodyAndNoProgress) {
    ASSERT_TRUE(ServersOrFail());
    // Not a chunked empty body: Wine 8 fails one whose last chunk arrives with
    // the headers.
    for (const std::wstring& url : {Fault("/bytes/0/1"), Servers().http + L"/pattern-0-1.bin"}) {
        SCOPED_TRACE(url);
        std::vector<std::uint8_t> body = {1, 2, 3};
        Reports reports;
        EXPECT_TRUE(httpGet(url, body, reports.callback(), kNoCap));
        EXPECT_TRUE(body.empty());
        EXPECT_TRUE(reports.values.empty());
    }
}

TEST(HttpGet, CapIsInclusive) {
    ASSERT_TRUE(ServersOrFail());
    for (std::uint64_t size : {std::uint64_t{1}, std::uint64_t{1000}, std::uint64_t{200000}}) {
        SCOPED_TRACE(size);
        const std::string n = std::to_string(size);
        const std::string more = std::to_string(size + 1);
        std::vector<std::uint8_t> body;
        EXPECT_TRUE(httpGet(Fault("/bytes/" + n + "/3"), body, {}, size));
        EXPECT_EQ(body, Pattern(size, 3));
        EXPECT_FALSE(httpGet(Fault("/bytes/" + more + "/3"), body, {}, size));
        EXPECT_FALSE(httpGet(Fault("/chunked/" + more + "/3/1000"), body, {}, size));
    }
    std::vector<std::uint8_t> body;
    EXPECT_FALSE(httpGet(Fault("/bytes/1/1"), body, {}, 0));
}

TEST(HttpGet, OversizedBodyIsAbandonedWithoutGrowingPastTheCap) {
    ASSERT_TRUE(ServersOrFail());
    constexpr std::uint64_t kCap = 100000;
    std::vector<std::uint8_t> body;
    Reports reports;
    EXPECT_FALSE(httpGet(Fault("/bytes/8000000/1"), body, reports.callback(), kCap));
    EXPECT_LE(body.size(), kCap);
    EXPECT_LE(body.capacity(), kCap);
    for (std::uint64_t value : reports.values) {
        EXPECT_LE(value, kCap);
    }
}

TEST(HttpGet, ProgressGrowsWithEveryChunkAndEndsAtTheBodySize) {
    ASSERT_TRUE(ServersOrFail());
    constexpr std::uint64_t kSize = 3 * 1048576 + 5;
    for (const std::wstring& url : {Fault("/bytes/3145733/2"), Fault("/chunked/3145733/2/10000"),
                                    Servers().http + L"/pattern-3145733-2.bin",
                                    Servers().https + L"/pattern-3145733-2.bin"}) {
        std::vector<std::uint8_t> body;
        Reports reports;
        ASSERT_TRUE(httpGet(url, body, reports.callback(), kSize));
        EXPECT_EQ(body, Pattern(kSize, 2));
        ASSERT_GE(reports.values.size(), 2u);
        for (std::size_t i = 1; i < reports.values.size(); ++i) {
            EXPECT_GT(reports.values[i], reports.values[i - 1]);
        }
        EXPECT_GT(reports.values.front(), 0u);
        EXPECT_EQ(reports.values.back(), kSize);
    }
}

TEST(HttpGet, ChunkedBodiesArriveWhole) {
    ASSERT_TRUE(ServersOrFail());
    struct Case {
        std::size_t size;
        int seed;
        int chunk;
    };
    for (const Case& c : {Case{1000003, 4, 777}, Case{1, 4, 1}, Case{70000, 5, 65536}}) {
        const std::string path = "/chunked/" + std::to_string(c.size) + "/" +
                                 std::to_string(c.seed) + "/" + std::to_string(c.chunk);
        SCOPED_TRACE(path);
        std::vector<std::uint8_t> body;
        ASSERT_TRUE(httpGet(Fault(path), body, {}, kNoCap));
        EXPECT_EQ(body, Pattern(c.size, c.seed));
    }
}

TEST(HttpGet, ConnectionCutMidBodyFails) {
    ASSERT_TRUE(ServersOrFail());
    // Closed or reset before the announced length. (A chunked body cut short is
    // ended quietly by Wine 8; content downloads catch it by size.)
    for (const char* path : {"/cut/100000/1/50000", "/cut/100000/1/0", "/cut/100000/1/99999",
                             "/reset/100000/1/50000"}) {
        SCOPED_TRACE(path);
        std::vector<std::uint8_t> body;
        EXPECT_FALSE(httpGet(Fault(path), body, {}, kNoCap));
        EXPECT_LT(body.size(), 100000u);
    }
}

TEST(HttpGet, MalformedOrOversizedUrlsFail) {
    ASSERT_TRUE(ServersOrFail());
    std::vector<std::uint8_t> body;
    EXPECT_FALSE(httpGet(L"", body, {}, kNoCap));
    EXPECT_FALSE(httpGet(L"not a url", body, {}, kNoCap));
    EXPECT_FALSE(httpGet(L"ftp://127.0.0.1/files/x", body, {}, kNoCap));
    // The host buffer holds 255 units and the terminator.
    EXPECT_FALSE(httpGet(L"http://" + std::wstring(300, L'a') + L"/x", body, {}, kNoCap));
    // The path buffer holds 2047 units: a path that fits is served, a longer one
    // is refused before anything is sent.
    const std::string tag = "/bytes/10/1/" + TestTag() + "/";
    const std::string fits = tag + std::string(2047 - tag.size(), 'p');
    EXPECT_TRUE(httpGet(Fault(fits), body, {}, kNoCap));
    EXPECT_EQ(body, Pattern(10, 1));
    EXPECT_FALSE(httpGet(Fault(fits + "q"), body, {}, kNoCap));
    int served = 0;
    for (const std::string& seen : FaultLog()) {
        served += seen.rfind(tag, 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(served, 1);
}

TEST(HttpGet, NothingListeningFails) {
    ASSERT_TRUE(ServersOrFail());
    // The fault server's port plus a few is very likely closed; refused at once.
    std::wstring url = Servers().fault;
    const std::size_t colon = url.rfind(L':');
    const int port = std::stoi(url.substr(colon + 1));
    url = url.substr(0, colon + 1) + std::to_wstring(port == 65535 ? 1 : port + 1) + L"/x";
    std::vector<std::uint8_t> body;
    EXPECT_FALSE(httpGet(url, body, {}, kNoCap));
}

TEST(HttpGetMemory, BodiesAreAllocatedAtTheirFinalSize) {
    ASSERT_TRUE(ServersOrFail());
    constexpr std::uint64_t kSize = 3 * 1048576 + 5;
    const std::wstring announced = Fault("/bytes/3145733/2");
    const std::wstring chunked = Fault("/chunked/3145733/2/65536");  // announces nothing
    struct Case {
        const wchar_t* what;
        std::wstring url;
        std::uint64_t maxBytes;
        std::uint64_t reserveBytes;
    };
    for (const Case& c : {Case{L"the caller's expected size", chunked, kNoCap, kSize},
                          Case{L"the announced length", announced, kNoCap, 0},
                          Case{L"doubling stopped by the cap", chunked, kSize, 0}}) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> body;
        ASSERT_TRUE(httpGet(c.url, body, {}, c.maxBytes, c.reserveBytes));
        EXPECT_EQ(body, Pattern(kSize, 2));
        EXPECT_EQ(body.capacity(), kSize);
    }
}

TEST(HttpGetMemory, AllocationFailureIsAFailedDownload) {
    ASSERT_TRUE(ServersOrFail());
    std::vector<std::uint8_t> body;
    // Beyond any address space (bad_alloc), and beyond what a vector can hold
    // (length_error): both refused, neither thrown.
    const std::uint64_t huge = std::uint64_t{1} << 52;
    EXPECT_FALSE(httpGet(Fault("/bytes/10/1"), body, {}, huge, huge));
    const std::uint64_t all = std::numeric_limits<std::uint64_t>::max();
    EXPECT_FALSE(httpGet(Fault("/bytes/10/1"), body, {}, all, all));
    // The reservation follows the cap, so a small cap makes a huge hint harmless.
    EXPECT_TRUE(httpGet(Fault("/bytes/10/1"), body, {}, 10, all));
    EXPECT_EQ(body, Pattern(10, 1));
}

TEST(HttpGet, ALengthWithLeadingZerosIsHeldAgainstTheBody) {
    ASSERT_TRUE(ServersOrFail());
    // Announced as 00000000000000000000100000 (and as 0100000): a body cut at half is
    // never taken for a whole one, however the length is written.
    for (const char* width : {"7", "26"}) {
        SCOPED_TRACE(width);
        std::vector<std::uint8_t> body;
        EXPECT_TRUE(
            httpGet(Fault("/padded/" + std::string(width) + "/bytes/100000/1"), body, {}, kNoCap));
        EXPECT_EQ(body, Pattern(100000, 1));
        EXPECT_FALSE(httpGet(Fault("/padded/" + std::string(width) + "/cut/100000/1/50000"), body,
                             {}, kNoCap));
    }
}

// The mechanics of the bounds, with short limits so they show in seconds; the real
// ones (30 s) are shown by the HttpGetStall tests.
class Bounded : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ServersOrFail()); }
    // ok, and the seconds it took.
    std::pair<HttpResult, double> Get(const std::string& path, const RequestLimits& limits) {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        std::vector<std::uint8_t> body;
        const HttpResult result = httpGet(session_, Fault(path), body, {}, kNoCap, limits);
        return {result, std::chrono::duration<double>(Clock::now() - start).count()};
    }
    HttpSession session_ = OpenHttpSession();
};

TEST_F(Bounded, AServerThatNeverAnswersEndsWithTheReceiveTimeOut) {
    const auto [result, seconds] = Get("/silent/30/" + TestTag(), {2000, 1, 60000, 0});
    EXPECT_FALSE(result);
    EXPECT_EQ(result.status, 0u);
    EXPECT_NE(result.error, 0u);
    EXPECT_GE(seconds, 1.5);
    EXPECT_LT(seconds, 6.0);
}

TEST_F(Bounded, ADripBelowTheLowSpeedLimitFailsASlowSteadyLinkDoesNot) {
    // 100 bytes every 0.2 s is 500 bytes a second: too slow for 1000 bytes a second...
    const auto [drip, dripSeconds] = Get("/trickle/20000/1/100/200", {5000, 1000, 1000, 0});
    EXPECT_FALSE(drip);
    EXPECT_LT(dripSeconds, 4.0);
    // ...and plenty for 300 bytes a second, for all of its four seconds.
    const auto [steady, steadySeconds] = Get("/trickle/2000/1/100/200", {5000, 300, 1000, 0});
    EXPECT_TRUE(steady);
    EXPECT_GE(steadySeconds, 3.5);
}

TEST_F(Bounded, TheDeadlineEndsATransferThatKeepsComing) {
    const auto [result, seconds] = Get("/trickle/100000/1/1000/50", {5000, 1, 60000, 1500});
    EXPECT_FALSE(result);
    EXPECT_GE(seconds, 1.4);
    EXPECT_LT(seconds, 3.0);
}

TEST_F(Bounded, TheDeadlineAndTheLowSpeedRuleEachEndAWaitForHeaders) {
    // A header byte every 0.3 s for 12 s: no wait for data is long enough for the 5 s
    // receive time-out, so only the rule under test can end the request early.
    struct Case {
        const char* rule;
        RequestLimits limits;
    };
    for (const Case& c :
         {Case{"deadline", {5000, 0, 1000, 1500}}, Case{"low speed", {5000, 1000, 1500, 0}}}) {
        SCOPED_TRACE(c.rule);
        const auto [result, seconds] = Get("/header-drip/10/1/40/300/" + TestTag(), c.limits);
        EXPECT_FALSE(result);
        EXPECT_EQ(result.status, 0u);  // no headers yet
        EXPECT_EQ(result.error, static_cast<std::uint32_t>(ERROR_WINHTTP_TIMEOUT));
        EXPECT_GE(seconds, 1.3);
        EXPECT_LT(seconds, 4.0);
    }
}

// Runs as its own ctest test: it waits for the 30 s receive time-out.
TEST(HttpGetStall, AServerThatNeverAnswersIsLeftForTheNextOneWithin35Seconds) {
    ASSERT_TRUE(ServersOrFail());
    using Clock = std::chrono::steady_clock;
    const std::vector<std::uint8_t> expected = Pattern(100000, 1);
    const HttpSession session = OpenHttpSession();
    const std::wstring partial =
        std::filesystem::temp_directory_path().wstring() + L"zelk-silent-" + Wide(TestTag());
    const auto start = Clock::now();
    const ContentFetch fetch =
        downloadContent(session, {Fault("/silent/90/" + TestTag()), Servers().http},
                        sha256Hex(expected), expected.size(), partial, {});
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    DeleteFileW(partial.c_str());
    EXPECT_TRUE(fetch.ok);
    EXPECT_EQ(fetch.servedBy, Servers().http);
    EXPECT_GE(seconds, 28.0);
    EXPECT_LT(seconds, 35.0);
}

TEST(HttpGetStall, ADripFailsAndASlowButSteadyLinkCompletes) {
    ASSERT_TRUE(ServersOrFail());
    using Clock = std::chrono::steady_clock;
    std::vector<std::uint8_t> body;
    // One byte every 20 s: each wait for data ends before the receive time-out, but the
    // low-speed limit (1024 bytes in 30 s) ends the transfer.
    auto start = Clock::now();
    EXPECT_FALSE(httpGet(Fault("/trickle/1000/1/1/20000/" + TestTag()), body, {}, kNoCap));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, 29.0);
    EXPECT_LT(seconds, 65.0);
    // 2 KB every 5 s (400 bytes a second) for 35 s: slow, but well above the limit.
    start = Clock::now();
    EXPECT_TRUE(httpGet(Fault("/trickle/16000/1/2000/5000/" + TestTag()), body, {}, kNoCap));
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(body, Pattern(16000, 1));
    EXPECT_GE(seconds, 34.0);
}

TEST(HttpGetStall, AHeaderDripEndsDocumentAndContentRequests) {
    ASSERT_TRUE(ServersOrFail());
    // The status line, then one header byte every 20 s: each wait for data ends well
    // within the receive time-out. Both kinds of request at once, to halve the wait.
    const HttpSession session = OpenHttpSession();
    const auto fetch = [&session](const RequestLimits& limits, const std::string& label) {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        std::vector<std::uint8_t> body;
        const HttpResult result =
            httpGet(session, Fault("/header-drip/10/1/30/20000/" + TestTag() + label), body, {},
                    kNoCap, limits);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_FALSE(result) << label;
        EXPECT_EQ(result.status, 0u) << label;
        EXPECT_EQ(result.error, static_cast<std::uint32_t>(ERROR_WINHTTP_TIMEOUT)) << label;
        EXPECT_GE(seconds, 25.0) << label;
        EXPECT_LT(seconds, 90.0) << label;
    };
    std::thread content(fetch, kContentLimits, "content");
    fetch(kDocumentLimits, "document");
    content.join();
}

TEST(HttpGetStall, ServerSilentLongerThanTheReceiveTimeoutFails) {
    ASSERT_TRUE(ServersOrFail());
    using Clock = std::chrono::steady_clock;
    std::vector<std::uint8_t> body;
    // A short pause is only a slow server.
    EXPECT_TRUE(httpGet(Fault("/stall/100000/1/50000/2"), body, {}, kNoCap));
    EXPECT_EQ(body, Pattern(100000, 1));

    const auto start = Clock::now();
    EXPECT_FALSE(httpGet(Fault("/stall/100000/1/50000/45"), body, {}, kNoCap));
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
    EXPECT_GE(seconds, 28);
    EXPECT_LT(seconds, 40);
}

}  // namespace
}  // namespace zelk

#include "net/http_rules.h"

#include <gtest/gtest.h>

#include "http_rules_cases.h"

namespace zelk {
namespace {

std::string Narrow(std::wstring_view text) {
    return std::string(text.begin(), text.end());
}

TEST(ContentLength, ReadAsWinHttpReadsItOrNotAtAll) {
    for (const testing::LengthCase& c : testing::kLengthCases) {
        SCOPED_TRACE(Narrow(c.text));
        EXPECT_EQ(ParseContentLength(c.text), c.length);
    }
}

TEST(ContentRange, OnlyWellFormedRangesWithinTheirLength) {
    for (const testing::RangeCase& c : testing::kRangeCases) {
        SCOPED_TRACE(Narrow(c.text));
        const std::optional<ContentRange> range = ParseContentRange(c.text);
        ASSERT_EQ(range.has_value(), c.valid);
        if (c.valid) {
            EXPECT_EQ(range->first, c.first);
            EXPECT_EQ(range->last, c.last);
            EXPECT_EQ(range->complete, c.complete);
        }
    }
}

TEST(ContentRange, ContinuesOnlyExactlyWhereTheDownloadStopped) {
    EXPECT_TRUE(RangeContinues({600, 999, 1000}, 600, 1000));
    EXPECT_TRUE(RangeContinues({600, 999, std::nullopt}, 600, 1000));
    EXPECT_FALSE(RangeContinues({0, 999, 1000}, 600, 1000));     // the whole file again
    EXPECT_FALSE(RangeContinues({601, 999, 1000}, 600, 1000));   // a gap
    EXPECT_FALSE(RangeContinues({600, 998, 1000}, 600, 1000));   // not to the end
    EXPECT_FALSE(RangeContinues({600, 1099, 1100}, 600, 1000));  // another file
    EXPECT_FALSE(RangeContinues({0, 0, 1}, 0, 0));
    EXPECT_EQ(RangeHeader(600), L"Range: bytes=600-");
}

TEST(ContentRange, ABlockRangeIsTakenOnlyWhenItIsExactlyTheOneAskedFor) {
    for (const testing::ExactRangeCase& c : testing::kExactRangeCases) {
        SCOPED_TRACE(Narrow(c.text));
        const std::optional<ContentRange> range = ParseContentRange(c.text);
        ASSERT_TRUE(range.has_value());
        EXPECT_EQ(RangeIsExactly(*range, c.first, c.last, c.size), c.taken);
    }
    EXPECT_EQ(RangeHeader(100, 199), L"Range: bytes=100-199");
}

TEST(TransferPace, ADripFailsOnceAWholeWindowHasPassed) {
    TransferPace pace(1024, 30000, 0);
    std::uint64_t total = 0;
    bool kept = true;
    std::uint64_t at = 0;
    for (at = 20000; kept && at <= 200000; at += 20000) {
        kept = pace.Keeps(++total, at);  // one byte every 20 s
    }
    EXPECT_FALSE(kept);
    EXPECT_LE(at - 20000, 40000u);  // failed at the first read past one window
}

TEST(TransferPace, ASlowButSteadyLinkKeepsGoing) {
    TransferPace pace(1024, 30000, 0);
    std::uint64_t total = 0;
    for (std::uint64_t at = 500; at <= 600000; at += 500) {
        total += 40;  // 80 bytes a second: 2400 in any 30 s
        ASSERT_TRUE(pace.Keeps(total, at)) << at;
    }
}

TEST(TransferPace, AnyWindowCountsNotOnlyTheFirst) {
    TransferPace pace(1024, 30000, 0);
    EXPECT_TRUE(pace.Keeps(100000, 1000));    // a fast start...
    EXPECT_TRUE(pace.Keeps(100000, 30000));   // (the window from 0 holds it)
    EXPECT_FALSE(pace.Keeps(100010, 31500));  // ...then 10 bytes in the last 30 s
}

}  // namespace
}  // namespace zelk

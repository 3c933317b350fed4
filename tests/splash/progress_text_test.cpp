#include "splash/progress_text.h"

#include <gtest/gtest.h>

namespace zelk {
namespace {

TEST(ProgressText, ReadsAsTheUserSeesIt) {
    EXPECT_EQ(FormatDownloadDetail(3, 10, 12939427, 41943040),
              L"T\u00E9l\u00E9chargement 3/10 \u2014 12.3 / 40.0 Mo");
}

TEST(ProgressText, RoundsToOneDecimalAtTheEdges) {
    EXPECT_EQ(FormatDownloadDetail(1, 1, 0, 0),
              L"T\u00E9l\u00E9chargement 1/1 \u2014 0.0 / 0.0 Mo");
    EXPECT_EQ(FormatDownloadDetail(1, 2, 52428, 52429),
              L"T\u00E9l\u00E9chargement 1/2 \u2014 0.0 / 0.1 Mo");
    EXPECT_EQ(FormatDownloadDetail(12, 345, 1073741824, 18446744073709551615u),
              L"T\u00E9l\u00E9chargement 12/345 \u2014 1024.0 / 17592186044416.0 Mo");
}

TEST(ProgressFraction, RunsFromEightToNinetyEightPercent) {
    EXPECT_DOUBLE_EQ(DownloadFraction(0, 1000), 0.08);
    EXPECT_DOUBLE_EQ(DownloadFraction(1000, 1000), 0.98);
    EXPECT_DOUBLE_EQ(DownloadFraction(500, 1000), 0.53);
}

TEST(ProgressFraction, NothingToDownloadDividesByOne) {
    EXPECT_DOUBLE_EQ(DownloadFraction(0, 0), 0.08);
    EXPECT_DOUBLE_EQ(DownloadFraction(1, 0), 0.98);
    EXPECT_GT(DownloadFraction(5, 0), 1.0);  // the status clamps it to a full bar
}

TEST(ProgressFraction, MoreThanAnnouncedStillGrows) {
    EXPECT_GT(DownloadFraction(2000, 1000), 0.98);
}

}  // namespace
}  // namespace zelk

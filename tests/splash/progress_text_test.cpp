#include "splash/progress_text.h"

#include <gtest/gtest.h>

#include <ostream>

namespace zelk {

std::ostream& operator<<(std::ostream& out, const DownloadLine& line) {
    return out << line.fileNumber << "/" << line.fileCount << " " << line.doneBytes << "/"
               << line.totalBytes;
}

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

TEST(DownloadTally, FinishedFilesKeepCountingAsTheNextOneArrives) {
    DownloadTally tally(3, 600, 1);
    EXPECT_EQ(tally.Received(0, 0), (DownloadLine{1, 3, 0, 600}));
    EXPECT_EQ(tally.Received(0, 100), (DownloadLine{1, 3, 100, 600}));
    EXPECT_EQ(tally.Finished(0, 100), (DownloadLine{2, 3, 100, 600}));
    // The second file starts from its own zero; the first one's bytes stay counted.
    EXPECT_EQ(tally.Received(0, 0), (DownloadLine{2, 3, 100, 600}));
    EXPECT_EQ(tally.Received(0, 150), (DownloadLine{2, 3, 250, 600}));
    EXPECT_EQ(tally.Finished(0, 200), (DownloadLine{3, 3, 300, 600}));
    EXPECT_EQ(tally.Received(0, 300), (DownloadLine{3, 3, 600, 600}));
    // The count never passes the number of files.
    EXPECT_EQ(tally.Finished(0, 300), (DownloadLine{3, 3, 600, 600}));
}

TEST(DownloadTally, ConcurrentTransfersAddUp) {
    DownloadTally tally(4, 1000, 2);
    tally.Received(0, 100);
    EXPECT_EQ(tally.Received(1, 50), (DownloadLine{1, 4, 150, 1000}));
    EXPECT_EQ(tally.Finished(1, 200), (DownloadLine{2, 4, 300, 1000}));
    EXPECT_EQ(tally.Received(1, 20), (DownloadLine{2, 4, 320, 1000}));
    EXPECT_EQ(tally.Finished(0, 300), (DownloadLine{3, 4, 520, 1000}));
}

TEST(DownloadTally, NeverGoesBack) {
    DownloadTally tally(2, 1000, 1);
    tally.Received(0, 400);
    // The first server's bytes were wrong: the next one starts the file again.
    EXPECT_EQ(tally.Received(0, 10), (DownloadLine{1, 2, 400, 1000}));
    EXPECT_EQ(tally.Received(0, 450), (DownloadLine{1, 2, 450, 1000}));
}

TEST(DownloadTally, BytesFromAnEarlierRunCountFromTheStart) {
    DownloadTally tally(1, 1000, 1);
    EXPECT_EQ(tally.Received(0, 900), (DownloadLine{1, 1, 900, 1000}));
}

TEST(DownloadTally, ADifferentialDownloadCountsOnlyWhatItsPlanFetches) {
    DownloadTally tally(2, 1000, 2);  // a file of 400 bytes and one of 600
    // The second is built from blocks: its plan fetches 50 bytes.
    EXPECT_EQ(tally.Retotal(600, 50), (DownloadLine{1, 2, 0, 450}));
    EXPECT_EQ(tally.Received(1, 50), (DownloadLine{1, 2, 50, 450}));
    EXPECT_EQ(tally.Finished(1, 50), (DownloadLine{2, 2, 50, 450}));
    // The first too, 100 bytes; then a surprise: it is fetched whole after all.
    EXPECT_EQ(tally.Retotal(400, 100), (DownloadLine{2, 2, 50, 150}));
    EXPECT_EQ(tally.Received(0, 30), (DownloadLine{2, 2, 80, 150}));
    EXPECT_EQ(tally.Retotal(100, 400), (DownloadLine{2, 2, 80, 450}));
    EXPECT_EQ(tally.Received(0, 10), (DownloadLine{2, 2, 80, 450}));
    EXPECT_EQ(tally.Received(0, 400), (DownloadLine{2, 2, 450, 450}));
}

TEST(DownloadTally, NothingToFetchStillReadsWell) {
    DownloadTally tally(0, 0, 1);
    EXPECT_EQ(tally.Received(0, 0), (DownloadLine{0, 0, 0, 0}));
}

}  // namespace
}  // namespace zelk

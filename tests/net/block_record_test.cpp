#include "net/block_record.h"

#include <gtest/gtest.h>

#include <string>

#include "block_record_cases.h"
#include "net/block_map.h"

namespace zelk {
namespace {

TEST(BlockRecord, OnlyWholeLinesOfRangesWithinTheFileOfThatMap) {
    for (const testing::RecordCase& c : testing::kRecordCases) {
        SCOPED_TRACE(std::string(c.text));
        EXPECT_EQ(ReadBlockRecord(c.text, testing::kRecordMap, testing::kRecordFileSize), c.held);
    }
}

TEST(BlockRecord, ReadsBackWhatIsWrittenAndNoMoreLinesThanTheFileHasBlocks) {
    std::string text = BlockRecordHeader(testing::kRecordMap);
    std::vector<HeldRange> written;
    for (std::uint64_t i = 0; i < MaxBlockCount(testing::kRecordFileSize); ++i) {
        written.push_back({i * 1000, 1000});
        text += BlockRecordLine(written.back());
    }
    EXPECT_EQ(ReadBlockRecord(text, testing::kRecordMap, testing::kRecordFileSize), written);
    text += BlockRecordLine({0, 1});
    EXPECT_EQ(ReadBlockRecord(text, testing::kRecordMap, testing::kRecordFileSize), std::nullopt);
    EXPECT_EQ(ReadBlockRecord(BlockRecordHeader(""), "", 10), std::nullopt);
}

}  // namespace
}  // namespace zelk

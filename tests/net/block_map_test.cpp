#include "net/block_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "block_map_cases.h"
#include "block_vectors.h"
#include "net/block_cutter.h"

namespace zelk {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(BlockMap, ReadOnlyWhenWholeAndConsistentWithItsFile) {
    for (const testing::BlockMapCase& c : testing::kBlockMapCases) {
        SCOPED_TRACE(c.name);
        const auto blocks = ReadBlockMap(Bytes(c.map), c.fileSize);
        ASSERT_EQ(blocks.has_value(), c.valid);
        if (!c.valid) {
            continue;
        }
        std::uint64_t offset = 0;
        for (const Block& block : *blocks) {
            EXPECT_EQ(block.offset, offset);
            EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(block.digest.data()), 32),
                      "0123456789abcdef0123456789ABCDEF");
            offset += block.size;
        }
        EXPECT_EQ(offset, c.fileSize);
        const std::vector<std::uint8_t> written = WriteBlockMap(*blocks);
        EXPECT_EQ(std::vector<std::uint8_t>(c.map.begin(), c.map.end()), written);
    }
}

TEST(BlockMap, ThePublishersMapReadsAndWritesBackTheSame) {
    const std::span<const std::uint8_t> map = vectors::kMixedMap;
    std::uint64_t fileSize = 0;
    for (const vectors::BlockSegment& segment : vectors::kMixedSegments) {
        fileSize += segment.length;
    }
    const auto blocks = ReadBlockMap(map, fileSize);
    ASSERT_TRUE(blocks.has_value());
    ASSERT_EQ(blocks->size(), std::size(vectors::kMixedSizes));
    for (std::size_t i = 0; i < blocks->size(); ++i) {
        EXPECT_EQ((*blocks)[i].size, vectors::kMixedSizes[i]) << i;
    }
    EXPECT_EQ(WriteBlockMap(*blocks), std::vector<std::uint8_t>(map.begin(), map.end()));
    EXPECT_FALSE(ReadBlockMap(map, fileSize - 1).has_value());
    EXPECT_FALSE(ReadBlockMap(map, fileSize + 1).has_value());
}

TEST(BlockMap, TheLargestMapOfAFileFitsItsCap) {
    EXPECT_EQ(MaxBlockCount(0), 0u);
    EXPECT_EQ(MaxBlockCount(1), 1u);
    EXPECT_EQ(MaxBlockCount(kBlockMinimum), 1u);
    EXPECT_EQ(MaxBlockCount(kBlockMinimum + 1), 2u);
    // Three blocks of the minimum and a last byte: as many blocks as such a file can have.
    const std::uint64_t fileSize = 3 * kBlockMinimum + 1;
    std::vector<Block> blocks(3, Block{0, static_cast<std::uint32_t>(kBlockMinimum), {}});
    blocks.push_back(Block{0, 1, {}});
    const std::vector<std::uint8_t> map = WriteBlockMap(blocks);
    EXPECT_EQ(map.size(), MaxBlockMapSize(fileSize));
    EXPECT_TRUE(ReadBlockMap(map, fileSize).has_value());
}

}  // namespace
}  // namespace zelk

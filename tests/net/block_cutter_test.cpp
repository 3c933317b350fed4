#include "net/block_cutter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "block_test_data.h"
#include "block_vectors.h"

namespace zelk {
namespace {

using testing::CutSizes;
using testing::RandomBytes;

constexpr std::uint64_t kMiB = 1024 * 1024;

TEST(BlockCutter, GearTableIsThePublishers) {
    for (std::size_t i = 0; i < kGear.size(); ++i) {
        EXPECT_EQ(kGear[i], vectors::kGearTable[i]) << i;
    }
}

TEST(BlockCutter, CutsWhereThePublisherCutsWhateverThePiecesFed) {
    for (const vectors::BlockCase& c : vectors::kBlockCases) {
        SCOPED_TRACE(std::string(c.name));
        const std::vector<std::uint8_t> bytes = testing::SegmentBytes(c.segments);
        const std::vector<std::uint32_t> expected(c.sizes.begin(), c.sizes.end());
        EXPECT_EQ(CutSizes(bytes), expected);
        for (std::size_t piece : {1, 63, 64, 4096, 16383, 65537, 262145}) {
            EXPECT_EQ(CutSizes(bytes, piece), expected) << "pieces of " << piece;
        }
    }
}

TEST(BlockCutter, SizesWithinTheirBoundsAndNearTheAverage) {
    const std::vector<std::uint8_t> bytes = RandomBytes(7, 32 * kMiB + 5);
    const std::vector<std::uint32_t> sizes = CutSizes(bytes);
    ASSERT_GT(sizes.size(), 1u);
    std::uint64_t total = 0;
    std::size_t belowAverage = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::uint64_t smallest = i + 1 == sizes.size() ? 1 : kBlockMinimum;
        EXPECT_GE(sizes[i], smallest) << i;
        EXPECT_LE(sizes[i], kBlockMaximum) << i;
        total += sizes[i];
        belowAverage += sizes[i] < kBlockAverage ? 1 : 0;
    }
    EXPECT_EQ(total, bytes.size());
    const std::uint64_t mean = total / sizes.size();
    EXPECT_GE(mean, 56 * 1024u);
    EXPECT_LE(mean, 96 * 1024u);
    // Both masks cut: some blocks end before the average, most after it.
    EXPECT_GT(belowAverage, sizes.size() / 20);
    EXPECT_LT(belowAverage, sizes.size() / 2);

    // Content that never matches a mask is cut at the maximum.
    const std::vector<std::uint32_t> zeros = CutSizes(std::vector<std::uint8_t>(kMiB + 3));
    EXPECT_EQ(zeros, (std::vector<std::uint32_t>{262144, 262144, 262144, 262144, 3}));
}

// The blocks of bytes, each as its bytes.
std::vector<std::string> Blocks(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::string> blocks;
    std::size_t at = 0;
    for (std::uint32_t size : CutSizes(bytes)) {
        blocks.emplace_back(bytes.begin() + at, bytes.begin() + at + size);
        at += size;
    }
    return blocks;
}

struct Edit {
    const char* name;
    std::uint64_t offset;
    std::uint64_t removed;
    std::uint64_t inserted;
};

// Blocks that lie away from an edit keep their boundaries and bytes: only those around
// it differ, which a client then fetches.
TEST(BlockCutter, AnEditChangesOnlyTheBlocksAroundIt) {
    const std::vector<std::uint8_t> old = RandomBytes(11, 12 * kMiB);
    const std::vector<std::string> before = Blocks(old);
    const Edit edits[] = {
        {"4 KiB inserted", 3 * kMiB, 0, 4096},
        {"4 KiB deleted", 3 * kMiB, 4096, 0},
        {"1 MiB overwritten", 6 * kMiB + 1234, kMiB, kMiB},
        {"1 byte inserted near the start", 100, 0, 1},
        {"16 KiB inserted at the start", 0, 0, 16384},
        {"the first MiB removed", 0, kMiB, 0},
        {"appended", 12 * kMiB, 0, 70000},
        {"the end cut", 11 * kMiB, kMiB, 0},
    };
    for (const Edit& edit : edits) {
        SCOPED_TRACE(edit.name);
        std::vector<std::uint8_t> changed(old.begin(), old.begin() + edit.offset);
        const std::vector<std::uint8_t> inserted = RandomBytes(99, edit.inserted);
        changed.insert(changed.end(), inserted.begin(), inserted.end());
        changed.insert(changed.end(), old.begin() + edit.offset + edit.removed, old.end());
        const std::vector<std::string> after = Blocks(changed);

        // The blocks alike from the start, and from the end.
        const auto head = static_cast<std::size_t>(
            std::mismatch(before.begin(), before.end(), after.begin(), after.end()).first -
            before.begin());
        const auto tail =
            static_cast<std::size_t>(std::mismatch(before.rbegin(), before.rend() - head,
                                                   after.rbegin(), after.rend() - head)
                                         .first -
                                     before.rbegin());
        // Every block that ends before the edit is kept (the end of the file is no cut).
        std::size_t kept = 0;
        for (std::uint64_t end = 0;
             kept + 1 < before.size() && end + before[kept].size() <= edit.offset; ++kept) {
            end += before[kept].size();
        }
        EXPECT_GE(head, kept);
        // What differs is the edit and at most two blocks' worth around it.
        std::uint64_t differing = 0;
        for (std::size_t i = head; i < after.size() - tail; ++i) {
            differing += after[i].size();
        }
        EXPECT_LE(differing, edit.inserted + 2 * kBlockMaximum);
    }
}

}  // namespace
}  // namespace zelk

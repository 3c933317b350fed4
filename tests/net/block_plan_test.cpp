#include "net/block_plan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "block_test_data.h"
#include "net/block_cutter.h"

namespace zelk {
namespace {

constexpr std::uint32_t kBlock = 65536;

// Blocks named by a letter: equal letters, equal content.
std::vector<Block> Blocks(const std::string& letters) {
    std::vector<Block> blocks;
    std::uint64_t offset = 0;
    for (char letter : letters) {
        Block block{offset, kBlock, {}};
        block.digest[0] = static_cast<std::uint8_t>(letter);
        blocks.push_back(block);
        offset += kBlock;
    }
    return blocks;
}

std::string Describe(const std::vector<BlockStep>& steps) {
    std::string text;
    for (const BlockStep& step : steps) {
        text += (step.fetch ? "fetch " : "copy ") + std::to_string(step.offset / kBlock) + "+" +
                std::to_string(step.length / kBlock);
        text += step.fetch ? "; " : " from " + std::to_string(step.baseOffset / kBlock) + "; ";
    }
    return text;
}

struct PlanCase {
    const char* name;
    std::string target;
    std::string base;
    std::uint64_t rangeCap;
    const char* steps;  // offsets and lengths in blocks
    std::uint64_t fetched;
};

TEST(BlockPlan, CopiesWhatTheBaseHoldsAndFetchesMergedRanges) {
    const std::uint64_t all = kFetchRangeCap;
    const PlanCase cases[] = {
        {"the same file", "abcdefghij", "abcdefghij", all, "copy 0+10 from 0; ", 0},
        {"one block changed", "abcdeXghij", "abcdefghij", all,
         "copy 0+5 from 0; fetch 5+1; copy 6+4 from 6; ", 1},
        {"neighbouring changes, one range", "abXYZfghijklmnop", "abcdefghijklmnop", all,
         "copy 0+2 from 0; fetch 2+3; copy 5+11 from 5; ", 3},
        {"a range cap of two blocks", "abXYZfghijklmnop", "abcdefghijklmnop", 2 * kBlock,
         "copy 0+2 from 0; fetch 2+2; fetch 4+1; copy 5+11 from 5; ", 3},
        {"a cap below one block still fetches it whole", "abXYfghijklmnop", "abcdefghijklmnop",
         kBlock / 2, "copy 0+2 from 0; fetch 2+1; fetch 3+1; copy 4+11 from 5; ", 2},
        {"an insertion: the rest copied from further back", "abcXdefghij", "abcdefghij", all,
         "copy 0+3 from 0; fetch 3+1; copy 4+7 from 3; ", 1},
        {"blocks moved: one copy per run of the base", "fghijabcde", "abcdefghij", all,
         "copy 0+5 from 5; copy 5+5 from 0; ", 0},
        {"a block the base holds twice comes from its first", "abcdefghij", "xaaxbcdefghij", all,
         "copy 0+1 from 1; copy 1+9 from 4; ", 0},
        {"a block the new file holds twice, copied twice", "abcdefgaaa", "abcdefghij", all,
         "copy 0+7 from 0; copy 7+1 from 0; copy 8+1 from 0; copy 9+1 from 0; ", 0},
        {"an empty file", "", "abc", all, "", 0},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.name);
        const BlockPlan plan = PlanBlocks(Blocks(c.target), Blocks(c.base), c.rangeCap);
        EXPECT_FALSE(plan.fetchWhole);
        EXPECT_EQ(Describe(plan.steps), c.steps);
        EXPECT_EQ(plan.fetchBytes, c.fetched * kBlock);
    }
}

TEST(BlockPlan, ABlockOfTheSameDigestAndAnotherSizeIsFetched) {
    std::vector<Block> base = Blocks("abcdefghij");
    base[4].size = kBlock - 1;
    EXPECT_EQ(Describe(PlanBlocks(Blocks("abcdefghij"), base).steps),
              "copy 0+4 from 0; fetch 4+1; copy 5+5 from 5; ");
}

// The pieces are worth it while their bytes, and kRequestCost per request, stay within
// 80 % of the whole file.
TEST(BlockPlan, FetchesWholeWhenMoreThanEightyPercentMustComeAnyway) {
    // A hundred blocks, each its own letter; those of the new file that differ have others.
    std::string base;
    for (int i = 0; i < 100; ++i) {
        base += static_cast<char>(i + 1);
    }
    const auto changed = [&](int from, int to) {
        std::string target = base;
        for (int i = from; i < to; ++i) {
            target[i] = static_cast<char>(i + 101);
        }
        return target;
    };
    // 76 blocks fetched in one request: 76 x 64 KiB + 256 KiB is exactly 80 %.
    std::string target = changed(0, 76);
    BlockPlan plan = PlanBlocks(Blocks(target), Blocks(base));
    EXPECT_FALSE(plan.fetchWhole);
    EXPECT_EQ(plan.fetchBytes, 76u * kBlock);
    EXPECT_EQ(Describe(plan.steps), "fetch 0+76; copy 76+24 from 76; ");

    target[76] = static_cast<char>(76 + 101);  // one block more
    plan = PlanBlocks(Blocks(target), Blocks(base));
    EXPECT_TRUE(plan.fetchWhole);
    EXPECT_TRUE(plan.steps.empty());
    EXPECT_EQ(plan.fetchBytes, 100u * kBlock);

    // The same 76 blocks in two requests cost one request more.
    target = changed(0, 38);
    target.replace(50, 38, changed(50, 88).substr(50, 38));
    EXPECT_TRUE(PlanBlocks(Blocks(target), Blocks(base)).fetchWhole);

    // Nothing in common, or no base at all.
    EXPECT_TRUE(PlanBlocks(Blocks("abc"), Blocks("xyz")).fetchWhole);
    plan = PlanBlocks(Blocks("abc"), {});
    EXPECT_TRUE(plan.fetchWhole);
    EXPECT_EQ(plan.fetchBytes, 3u * kBlock);
}

// From a real cut: the plan, carried out on the old and new bytes, builds the new file.
TEST(BlockPlan, CarriedOutItBuildsTheNewFile) {
    const std::vector<std::uint8_t> old = testing::RandomBytes(21, 8 * 1024 * 1024);
    std::vector<std::uint8_t> changed = old;
    const std::vector<std::uint8_t> inserted = testing::RandomBytes(22, 4096);
    changed.insert(changed.begin() + 5000000, inserted.begin(), inserted.end());
    for (std::size_t i = 7000000; i < 7000000 + 20000; ++i) {
        changed[i] ^= 0x5A;
    }
    // A stand-in for the digest: FNV-1a of the block's bytes.
    const auto cut = [](const std::vector<std::uint8_t>& bytes) {
        std::vector<Block> blocks;
        std::uint64_t offset = 0;
        for (std::uint32_t size : testing::CutSizes(bytes)) {
            std::uint64_t hash = 14695981039346656037u;
            for (std::uint32_t i = 0; i < size; ++i) {
                hash = (hash ^ bytes[offset + i]) * 1099511628211u;
            }
            Block block{offset, size, {}};
            std::memcpy(block.digest.data(), &hash, sizeof(hash));
            blocks.push_back(block);
            offset += size;
        }
        return blocks;
    };
    const BlockPlan plan = PlanBlocks(cut(changed), cut(old));
    ASSERT_FALSE(plan.fetchWhole);
    std::vector<std::uint8_t> built;
    for (const BlockStep& step : plan.steps) {
        ASSERT_EQ(step.offset, built.size());
        const std::vector<std::uint8_t>& from = step.fetch ? changed : old;
        const std::uint64_t at = step.fetch ? step.offset : step.baseOffset;
        built.insert(built.end(), from.begin() + at, from.begin() + at + step.length);
    }
    EXPECT_TRUE(built == changed);
    // Two edits: each costs its bytes and at most two blocks of the maximum.
    EXPECT_GE(plan.fetchBytes, 4096u + 20000u);
    EXPECT_LE(plan.fetchBytes, 4096u + 20000u + 4 * kBlockMaximum);
}

}  // namespace
}  // namespace zelk

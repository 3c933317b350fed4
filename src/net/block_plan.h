#pragma once
// How to build a new file from an older copy on disk (the base) and ranges of the new
// content: the base is cut like the new file (net/block_cutter.h), and every block of
// the new file's map that the base holds is copied from it rather than fetched. Free of
// Windows headers.

#include <cstdint>
#include <span>
#include <vector>

#include "net/block_map.h"

namespace zelk {

// The longest range one request asks for: a large file is fetched as several requests,
// which several transfers can share.
inline constexpr std::uint64_t kFetchRangeCap = 8 * 1024 * 1024;

// What one request costs beyond its bytes (headers, and a round trip in which the
// transfer receives nothing), counted as bytes: on a 200 Mbit/s link with a 40 ms
// round trip shared by four transfers, about 250 KB.
inline constexpr std::uint64_t kRequestCost = 256 * 1024;

// One piece of the new file, in file order.
struct BlockStep {
    std::uint64_t offset = 0;  // in the new file
    std::uint64_t length = 0;
    bool fetch = false;            // true: the range offset .. offset + length - 1
    std::uint64_t baseOffset = 0;  // when copied: where these bytes lie in the base
};

struct BlockPlan {
    // Fetching the pieces would cost more than 80 % of fetching the whole file (their
    // bytes plus kRequestCost per request): the file is better fetched whole, steps is
    // empty and fetchBytes is the file's size.
    bool fetchWhole = false;
    std::vector<BlockStep> steps;  // together the whole new file, each byte once
    std::uint64_t fetchBytes = 0;  // bytes the fetched steps ask for
};

// The plan for the new file whose map gave target (consecutive blocks from offset 0)
// from a base cut into base. A block of the new file is copied when the base holds a
// block of the same size and digest (the first such one); the others are fetched.
// Neighbouring copies of neighbouring base bytes make one step; neighbouring fetches
// make one range of at most rangeCap bytes (a single block is never split).
BlockPlan PlanBlocks(std::span<const Block> target, std::span<const Block> base,
                     std::uint64_t rangeCap = kFetchRangeCap);

}  // namespace zelk

#pragma once
// Files for the block tests: made from the segments of block_vectors.h, cut whole.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "block_vectors.h"
#include "net/block_cutter.h"

namespace zelk::testing {

// length bytes of splitmix64's outputs from seed, each little-endian.
inline std::vector<std::uint8_t> RandomBytes(std::uint64_t seed, std::uint64_t length) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(length);
    while (bytes.size() < length) {
        const std::uint64_t value = SplitMix64(seed);
        for (int shift = 0; shift < 64 && bytes.size() < length; shift += 8) {
            bytes.push_back(static_cast<std::uint8_t>(value >> shift));
        }
    }
    return bytes;
}

inline std::vector<std::uint8_t> SegmentBytes(std::span<const vectors::BlockSegment> segments) {
    std::vector<std::uint8_t> bytes;
    for (const vectors::BlockSegment& segment : segments) {
        if (segment.pattern.empty()) {
            const std::vector<std::uint8_t> random =
                RandomBytes(segment.seed, segment.skip + segment.length);
            bytes.insert(bytes.end(), random.begin() + segment.skip, random.end());
        } else {
            for (std::uint64_t i = 0; i < segment.length; ++i) {
                bytes.push_back(static_cast<std::uint8_t>(
                    segment.pattern[static_cast<std::size_t>(i % segment.pattern.size())]));
            }
        }
    }
    return bytes;
}

// The block sizes of bytes fed in pieces of piece bytes (all at once when 0).
inline std::vector<std::uint32_t> CutSizes(std::span<const std::uint8_t> bytes,
                                           std::size_t piece = 0) {
    BlockCutter cutter;
    std::vector<std::uint64_t> ends;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t size = piece == 0 ? bytes.size() : std::min(piece, bytes.size() - at);
        CutBlocks(cutter, bytes.subspan(at, size), ends);
        at += size;
    }
    FinishBlocks(cutter, ends);
    std::vector<std::uint32_t> sizes;
    std::uint64_t start = 0;
    for (std::uint64_t end : ends) {
        sizes.push_back(static_cast<std::uint32_t>(end - start));
        start = end;
    }
    return sizes;
}

}  // namespace zelk::testing

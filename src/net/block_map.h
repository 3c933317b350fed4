#pragma once
// The block map of a file: its content-defined blocks (net/block_cutter.h) in file
// order, each with its size and SHA-256. The publisher stores it in the content store
// under its own digest and names it in the file's manifest entry ("blocks"), so the
// manifest's signature covers it. Free of Windows headers.
//
// Layout, version 1 (integers little-endian):
//   offset 0   4 bytes   "ZBLK"
//   offset 4   1 byte    version, 1: the cutting parameters of net/block_cutter.h
//   offset 5   4 bytes   block count n
//   offset 9   36 bytes  per block: its size (4 bytes), then its SHA-256 (32 bytes)
// and nothing after: 9 + 36 n bytes in all.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zelk {

inline constexpr std::uint8_t kBlockMapVersion = 1;
inline constexpr std::size_t kBlockMapHeader = 9;
inline constexpr std::size_t kBlockMapEntry = 36;

using BlockDigest = std::array<std::uint8_t, 32>;

// One block of a file: where it starts, its length and the SHA-256 of its bytes.
struct Block {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    BlockDigest digest{};
};

// The most blocks a file of fileSize bytes can have: every block but the last holds
// kBlockMinimum bytes at least.
std::uint64_t MaxBlockCount(std::uint64_t fileSize);

// The largest map of a file of fileSize bytes: a cap for fetching it.
std::uint64_t MaxBlockMapSize(std::uint64_t fileSize);

// The blocks of a map that describes a file of fileSize bytes, with their offsets.
// Empty unless the map is exactly as its layout says and consistent with the cutting:
// known magic and version, a count that such a file allows (checked before anything is
// allocated), the exact length for that count, every block but the last of
// kBlockMinimum to kBlockMaximum bytes, the last of 1 to kBlockMaximum, sizes adding up
// to fileSize. An empty file has a map of no blocks.
std::optional<std::vector<Block>> ReadBlockMap(std::span<const std::uint8_t> map,
                                               std::uint64_t fileSize);

// The map of these blocks (their offsets are not written: sizes give them).
std::vector<std::uint8_t> WriteBlockMap(std::span<const Block> blocks);

}  // namespace zelk

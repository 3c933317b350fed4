#include "net/block_map.h"

#include <algorithm>

#include "net/block_cutter.h"

namespace zelk {
namespace {

constexpr std::uint8_t kMagic[4] = {'Z', 'B', 'L', 'K'};

std::uint32_t Read32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

void Append32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

}  // namespace

std::uint64_t MaxBlockCount(std::uint64_t fileSize) {
    return fileSize / kBlockMinimum + (fileSize % kBlockMinimum != 0 ? 1 : 0);
}

std::uint64_t MaxBlockMapSize(std::uint64_t fileSize) {
    // At most 2^50 blocks: no overflow.
    return kBlockMapHeader + kBlockMapEntry * MaxBlockCount(fileSize);
}

std::optional<std::vector<Block>> ReadBlockMap(std::span<const std::uint8_t> map,
                                               std::uint64_t fileSize) {
    if (map.size() < kBlockMapHeader || !std::equal(kMagic, kMagic + 4, map.data()) ||
        map[4] != kBlockMapVersion) {
        return std::nullopt;
    }
    const std::uint64_t count = Read32(map.data() + 5);
    if (count > MaxBlockCount(fileSize) || map.size() - kBlockMapHeader != count * kBlockMapEntry) {
        return std::nullopt;
    }
    std::vector<Block> blocks(static_cast<std::size_t>(count));
    std::uint64_t offset = 0;
    const std::uint8_t* entry = map.data() + kBlockMapHeader;
    for (Block& block : blocks) {
        block.offset = offset;
        block.size = Read32(entry);
        std::copy(entry + 4, entry + kBlockMapEntry, block.digest.begin());
        entry += kBlockMapEntry;
        const bool lastBlock = &block == &blocks.back();
        if (block.size == 0 || block.size > kBlockMaximum ||
            (!lastBlock && block.size < kBlockMinimum) || block.size > fileSize - offset) {
            return std::nullopt;
        }
        offset += block.size;
    }
    if (offset != fileSize) {
        return std::nullopt;
    }
    return blocks;
}

std::vector<std::uint8_t> WriteBlockMap(std::span<const Block> blocks) {
    std::vector<std::uint8_t> out(kMagic, kMagic + 4);
    out.reserve(kBlockMapHeader + kBlockMapEntry * blocks.size());
    out.push_back(kBlockMapVersion);
    Append32(out, static_cast<std::uint32_t>(blocks.size()));
    for (const Block& block : blocks) {
        Append32(out, block.size);
        out.insert(out.end(), block.digest.begin(), block.digest.end());
    }
    return out;
}

}  // namespace zelk

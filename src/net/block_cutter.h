#pragma once
// Content-defined blocks: a file cut where its content says, so that equal runs of bytes
// give equal blocks wherever they lie, before or after an insertion. The publisher
// (tools/publish.py) cuts every large file this way for its block map and the client
// cuts its local copy the same way: both must agree to the byte, so every parameter
// below is part of the block-map format (its version 1). Free of Windows headers.
//
// A gear hash as in FastCDC rolls over the bytes: hash = (hash << 1) + kGear[byte],
// modulo 2^64, so the hash after a byte depends on that byte and the 63 before it.
// A block of length L may end after a byte whose hash has no bit set under the mask
// for L: kBlockMaskStrict (the 17 high bits) while L < kBlockAverage, then
// kBlockMaskLoose (the 15 high bits). The stricter mask first and the looser one after
// pull the sizes towards the average (normalized chunking); one bit either side of the
// average's 16, because masks further apart, while they gather the sizes closer, leave
// the cuts after an edit out of step with the old ones for longer. No block ends before
// kBlockMinimum bytes; a block ends at kBlockMaximum bytes whatever the hash says; the
// last block is what remains of the file (1 byte at least). An empty file has no block.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

inline constexpr std::uint64_t kBlockMinimum = 16 * 1024;
inline constexpr std::uint64_t kBlockAverage = 64 * 1024;
inline constexpr std::uint64_t kBlockMaximum = 256 * 1024;
inline constexpr std::uint64_t kBlockMaskStrict = 0xFFFF'8000'0000'0000;
inline constexpr std::uint64_t kBlockMaskLoose = 0xFFFE'0000'0000'0000;

// kGear[i] is the (i + 1)-th output of splitmix64 from this seed ("ZELK" in ASCII):
// a table anyone can rebuild in a few lines.
inline constexpr std::uint64_t kGearSeed = 0x5A45'4C4B;

constexpr std::uint64_t SplitMix64(std::uint64_t& state) {
    state += 0x9E37'79B9'7F4A'7C15;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9;
    z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EB;
    return z ^ (z >> 31);
}

inline constexpr std::array<std::uint64_t, 256> kGear = [] {
    std::array<std::uint64_t, 256> table{};
    std::uint64_t state = kGearSeed;
    for (std::uint64_t& value : table) {
        value = SplitMix64(state);
    }
    return table;
}();

// The cutting of one file, fed its bytes in order in pieces of any size: the cuts do
// not depend on how the file is split into pieces.
struct BlockCutter {
    std::uint64_t start = 0;     // offset of the block being cut
    std::uint64_t position = 0;  // bytes fed so far
    std::uint64_t hash = 0;
};

// Feeds the next bytes of the file. Appends to ends the end offset (from the file's
// start, exclusive) of every block that ends within them.
void CutBlocks(BlockCutter& cutter, std::span<const std::uint8_t> bytes,
               std::vector<std::uint64_t>& ends);

// After the file's last byte: appends the end of its last block, when bytes remain.
void FinishBlocks(BlockCutter& cutter, std::vector<std::uint64_t>& ends);

}  // namespace zelk

// libFuzzer target for the block map reader, fed a map that a server controls and the
// file size the signed manifest gives. Beyond what the sanitizers catch, it holds the
// reader against a reference written apart from it: a map is valid exactly when it is
// the writing of block sizes that follow the cutting rules and add up to the size. The
// unit test's table is checked against the reference first.
//
// Input: one byte, then the map. The byte is the difference (-127 to 126) between the
// file size and the sum of the sizes the map lists, so that most inputs are near a
// consistent map; 127 instead takes the file size from the 8 bytes that follow
// (little-endian).

#include "net/block_map.h"
#include "net/block_cutter.h"
#include "block_map_cases.h"
#include "support/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace {

using zelk::testing::Check;

std::uint32_t Le32(const std::uint8_t* at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | at[i];
    }
    return value;
}

std::optional<std::vector<std::uint32_t>> ReferenceSizes(std::span<const std::uint8_t> map,
                                                         std::uint64_t fileSize) {
    if (map.size() < 9 || (map.size() - 9) % 36 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint32_t> sizes;
    for (std::size_t at = 9; at < map.size(); at += 36) {
        sizes.push_back(Le32(map.data() + at));
    }
    if (std::memcmp(map.data(), "ZBLK\x01", 5) != 0 || Le32(map.data() + 5) != sizes.size()) {
        return std::nullopt;
    }
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const bool last = i + 1 == sizes.size();
        if (sizes[i] > zelk::kBlockMaximum || sizes[i] < (last ? 1 : zelk::kBlockMinimum)) {
            return std::nullopt;
        }
        total += sizes[i];
    }
    if (total != fileSize) {
        return std::nullopt;
    }
    return sizes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const auto& c : zelk::testing::kBlockMapCases) {
        const std::span<const std::uint8_t> map(reinterpret_cast<const std::uint8_t*>(c.map.data()),
                                                c.map.size());
        Check(ReferenceSizes(map, c.fileSize).has_value() == c.valid, "table vs reference");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const auto delta = static_cast<std::int8_t>(data[0]);
    std::size_t head = 1;
    std::uint64_t fileSize = 0;
    if (delta == 127) {
        for (; head < 9 && head < size; ++head) {
            fileSize |= static_cast<std::uint64_t>(data[head]) << (8 * (head - 1));
        }
    } else {
        for (std::size_t at = head + 9; at + 4 <= size; at += 36) {
            fileSize += Le32(data + at);
        }
        fileSize = delta < 0 && fileSize < static_cast<std::uint64_t>(-delta)
                       ? 0
                       : fileSize + static_cast<std::uint64_t>(static_cast<std::int64_t>(delta));
    }
    const std::span<const std::uint8_t> map(data + head, size - head);

    const auto blocks = zelk::ReadBlockMap(map, fileSize);
    const auto expected = ReferenceSizes(map, fileSize);
    Check(blocks.has_value() == expected.has_value(), "valid as the reference says");
    if (!blocks) {
        return 0;
    }
    Check(blocks->size() == expected->size(), "block count");
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < blocks->size(); ++i) {
        const zelk::Block& block = (*blocks)[i];
        Check(block.offset == offset && block.size == (*expected)[i], "offsets and sizes");
        Check(std::memcmp(block.digest.data(), map.data() + 9 + 36 * i + 4, 32) == 0, "digest");
        offset += block.size;
    }
    Check(zelk::WriteBlockMap(*blocks) == std::vector<std::uint8_t>(map.begin(), map.end()),
          "written back the same");
    return 0;
}

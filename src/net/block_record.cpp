#include "net/block_record.h"

#include <limits>

#include "net/block_map.h"

namespace zelk {
namespace {

constexpr std::string_view kMagic = "ZPLAN 1 ";

// Digits only, no leading zero unless "0", no overflow of 64 bits.
std::optional<std::uint64_t> Number(std::string_view digits) {
    if (digits.empty() || (digits.size() > 1 && digits.front() == '0')) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

std::string BlockRecordHeader(std::string_view mapDigest) {
    return std::string(kMagic) + std::string(mapDigest) + "\n";
}

std::string BlockRecordLine(const HeldRange& range) {
    return std::to_string(range.offset) + " " + std::to_string(range.length) + "\n";
}

std::optional<std::vector<HeldRange>> ReadBlockRecord(std::string_view text,
                                                      std::string_view mapDigest,
                                                      std::uint64_t fileSize) {
    const std::string header = BlockRecordHeader(mapDigest);
    if (mapDigest.empty() || text.substr(0, header.size()) != header) {
        return std::nullopt;
    }
    text.remove_prefix(header.size());
    std::vector<HeldRange> held;
    const std::uint64_t most = MaxBlockCount(fileSize);
    for (std::size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n')) {
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos || held.size() >= most) {
            return std::nullopt;
        }
        const auto offset = Number(line.substr(0, space));
        const auto length = Number(line.substr(space + 1));
        if (!offset || !length || *length == 0 || *offset > fileSize ||
            *length > fileSize - *offset) {
            return std::nullopt;
        }
        held.push_back({*offset, *length});
    }
    return held;  // what is left has no "\n": a line cut short
}

}  // namespace zelk

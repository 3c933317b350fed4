#pragma once
// Block maps the client must read, and those it must refuse, with the size of the file
// each is said to describe: one table for the unit test and for the fuzz target's check
// of its own reference reader.

#include <cstdint>
#include <string_view>

namespace zelk::testing {

using namespace std::string_view_literals;

struct BlockMapCase {
    const char* name;
    std::uint64_t fileSize;
    std::string_view map;
    bool valid;
};

// Pieces of a map: the header of version 1 with a block count, a block's size (4 bytes,
// little-endian) and a digest (32 bytes).
#define ZELK_MAP_HEADER(count) "ZBLK\x01" count
#define ZELK_DIGEST "0123456789abcdef0123456789ABCDEF"
#define ZELK_BLOCK(size) size ZELK_DIGEST

inline constexpr BlockMapCase kBlockMapCases[] = {
    {"an empty file", 0, ZELK_MAP_HEADER("\0\0\0\0") ""sv, true},
    {"one byte", 1, ZELK_MAP_HEADER("\1\0\0\0") ZELK_BLOCK("\1\0\0\0") ""sv, true},
    {"one block of the maximum", 262144, ZELK_MAP_HEADER("\1\0\0\0") ZELK_BLOCK("\0\0\4\0") ""sv,
     true},
    {"the minimum, then one byte", 16385,
     ZELK_MAP_HEADER("\2\0\0\0") ZELK_BLOCK("\0\x40\0\0") ZELK_BLOCK("\1\0\0\0") ""sv, true},
    {"the maximum twice, a last block of the minimum", 540672,
     ZELK_MAP_HEADER("\3\0\0\0") ZELK_BLOCK("\0\0\4\0") ZELK_BLOCK("\0\0\4\0")
         ZELK_BLOCK("\0\x40\0\0") ""sv,
     true},

    {"no bytes at all", 0, ""sv, false},
    {"a header cut short", 0, "ZBLK\x01\0\0\0"sv, false},
    {"another magic", 0, "ZBLk\x01\0\0\0\0"sv, false},
    {"version 0", 0, "ZBLK\x00\0\0\0\0"sv, false},
    {"version 2", 0, "ZBLK\x02\0\0\0\0"sv, false},
    {"no block for a file of 5 bytes", 5, ZELK_MAP_HEADER("\0\0\0\0") ""sv, false},
    {"a block for an empty file", 0, ZELK_MAP_HEADER("\1\0\0\0") ZELK_BLOCK("\1\0\0\0") ""sv,
     false},
    {"a block of no bytes", 0, ZELK_MAP_HEADER("\1\0\0\0") ZELK_BLOCK("\0\0\0\0") ""sv, false},
    {"blocks short of the file", 2, ZELK_MAP_HEADER("\1\0\0\0") ZELK_BLOCK("\1\0\0\0") ""sv, false},
    {"blocks past the file", 16386,
     ZELK_MAP_HEADER("\2\0\0\0") ZELK_BLOCK("\0\x40\0\0") ZELK_BLOCK("\3\0\0\0") ""sv, false},
    {"a block over the maximum", 262145, ZELK_MAP_HEADER("\1\0\0\0") ZELK_BLOCK("\1\0\4\0") ""sv,
     false},
    {"a block under the minimum before the last", 16385,
     ZELK_MAP_HEADER("\2\0\0\0") ZELK_BLOCK("\xff\x3f\0\0") ZELK_BLOCK("\2\0\0\0") ""sv, false},
    {"a size over the maximum in its high byte", 1,
     ZELK_MAP_HEADER("\1\0\0\0") ZELK_BLOCK("\1\0\0\1") ""sv, false},
    {"an entry cut short", 1,
     ZELK_MAP_HEADER("\1\0\0\0") "\1\0\0\0"
                                 "0123"sv,
     false},
    {"a byte after the last entry", 1, ZELK_MAP_HEADER("\1\0\0\0") ZELK_BLOCK("\1\0\0\0") "!"sv,
     false},
    {"one entry fewer than counted", 16385,
     ZELK_MAP_HEADER("\3\0\0\0") ZELK_BLOCK("\0\x40\0\0") ZELK_BLOCK("\1\0\0\0") ""sv, false},
    // More blocks than 16385 bytes can hold (two), refused before the entries are read.
    {"three blocks for 16385 bytes", 16385,
     ZELK_MAP_HEADER("\3\0\0\0") ZELK_BLOCK("\0\x40\0\0") ZELK_BLOCK("\1\0\0\0")
         ZELK_BLOCK("\1\0\0\0") ""sv,
     false},
    {"four billion blocks announced", 1ull << 40, ZELK_MAP_HEADER("\xff\xff\xff\xff") ""sv, false},
};

#undef ZELK_BLOCK
#undef ZELK_DIGEST
#undef ZELK_MAP_HEADER

}  // namespace zelk::testing

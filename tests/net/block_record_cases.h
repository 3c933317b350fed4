#pragma once
// Records a resumed differential download may trust, and those it must not: one table
// for the unit test and for the fuzz target's check of its own reference. Every case is
// for a file of kRecordFileSize bytes built from the map of kRecordMap.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "net/block_record.h"

namespace zelk::testing {

inline constexpr std::uint64_t kRecordFileSize = 1000000;
inline constexpr std::string_view kRecordMap =
    "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

struct RecordCase {
    std::string_view text;
    std::optional<std::vector<HeldRange>> held;
};

#define ZELK_HEADER "ZPLAN 1 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\n"

inline const RecordCase kRecordCases[] = {
    {ZELK_HEADER, std::vector<HeldRange>{}},
    {ZELK_HEADER "0 65536\n", std::vector<HeldRange>{{0, 65536}}},
    {ZELK_HEADER "0 65536\n900000 100000\n", std::vector<HeldRange>{{0, 65536}, {900000, 100000}}},
    {ZELK_HEADER "0 65536\n900000 10", std::vector<HeldRange>{{0, 65536}}},  // cut short
    {ZELK_HEADER "999999 1\n", std::vector<HeldRange>{{999999, 1}}},
    {ZELK_HEADER "999999 2\n", std::nullopt},  // past the end of the file
    {ZELK_HEADER "1000000 1\n", std::nullopt},
    {ZELK_HEADER "5 0\n", std::nullopt},    // an empty range
    {ZELK_HEADER "05 10\n", std::nullopt},  // leading zero
    {ZELK_HEADER "5  10\n", std::nullopt},
    {ZELK_HEADER "5 10 \n", std::nullopt},
    {ZELK_HEADER "-5 10\n", std::nullopt},
    {ZELK_HEADER "5\n", std::nullopt},
    {ZELK_HEADER "\n", std::nullopt},
    {ZELK_HEADER "18446744073709551615 1\n", std::nullopt},
    {ZELK_HEADER "1 18446744073709551616\n", std::nullopt},  // past 64 bits
    {"ZPLAN 1 0000000000000000000000000000000000000000000000000000000000000000\n0 10\n",
     std::nullopt},  // another map's record
    {"ZPLAN 2 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\n", std::nullopt},
    {"ZPLAN 1 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08", std::nullopt},
    {"", std::nullopt},
};

#undef ZELK_HEADER

}  // namespace zelk::testing

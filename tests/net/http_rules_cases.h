#pragma once
// The announced lengths and ranges the client must read, and those it must refuse: one
// table for the unit test and for the fuzz target's check of its own reference.

#include <cstdint>
#include <optional>
#include <string_view>

namespace zelk::testing {

struct LengthCase {
    std::wstring_view text;
    std::optional<std::uint64_t> length;
};

inline constexpr LengthCase kLengthCases[] = {
    {L"0", 0},
    {L"100000", 100000},
    {L"000000100000", 100000},
    {L"00000000000000000000000000000000000042", 42},  // more than 19 digits, still 42
    {L"18446744073709551615", 18446744073709551615u},
    {L"018446744073709551615", 18446744073709551615u},
    {L" 7\t", 7},
    {L"0000", 0},
    {L"18446744073709551616", std::nullopt},  // one past 64 bits
    {L"99999999999999999999999", std::nullopt},
    {L"", std::nullopt},
    {L"   ", std::nullopt},
    {L"-1", std::nullopt},
    {L"+1", std::nullopt},
    {L"1 2", std::nullopt},
    {L"0x10", std::nullopt},
    {L"12a", std::nullopt},
};

struct RangeCase {
    std::wstring_view text;
    bool valid;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::optional<std::uint64_t> complete;
};

inline constexpr RangeCase kRangeCases[] = {
    {L"bytes 100-999/1000", true, 100, 999, 1000},
    {L"bytes 0-0/1", true, 0, 0, 1},
    {L"bytes 5-9/*", true, 5, 9, std::nullopt},
    {L"  bytes 5-9/10 ", true, 5, 9, 10},
    {L"bytes 0005-09/010", true, 5, 9, 10},
    {L"bytes 0-18446744073709551614/18446744073709551615", true, 0, 18446744073709551614u,
     18446744073709551615u},
    {L"bytes 9-5/10", false, 0, 0, std::nullopt},   // backwards
    {L"bytes 5-10/10", false, 0, 0, std::nullopt},  // past the end
    {L"bytes 5-9/9", false, 0, 0, std::nullopt},
    {L"bytes */1000", false, 0, 0, std::nullopt},  // an unsatisfied range carries no bytes
    {L"bytes 5-/10", false, 0, 0, std::nullopt},
    {L"bytes -9/10", false, 0, 0, std::nullopt},
    {L"bytes 5-9", false, 0, 0, std::nullopt},
    {L"bytes=5-9/10", false, 0, 0, std::nullopt},
    {L"Bytes 5-9/10", false, 0, 0, std::nullopt},
    {L"items 5-9/10", false, 0, 0, std::nullopt},
    {L"bytes 5 - 9/10", false, 0, 0, std::nullopt},
    {L"bytes 5-9/10/11", false, 0, 0, std::nullopt},
    {L"bytes 0-18446744073709551616/*", false, 0, 0, std::nullopt},
    {L"", false, 0, 0, std::nullopt},
};

// The answer to a request for bytes first..last of a file of size bytes: a block range
// of a differential download is taken only when its Content-Range says exactly that.
struct ExactRangeCase {
    std::wstring_view text;  // the Content-Range of the 206
    std::uint64_t first;
    std::uint64_t last;
    std::uint64_t size;
    bool taken;
};

inline constexpr ExactRangeCase kExactRangeCases[] = {
    {L"bytes 100-199/1000", 100, 199, 1000, true},
    {L"bytes 0-999/1000", 0, 999, 1000, true},
    {L"bytes 999-999/1000", 999, 999, 1000, true},
    {L"bytes 0005-09/010", 5, 9, 10, true},
    {L"bytes 100-199/*", 100, 199, 1000, false},     // no complete length: any file
    {L"bytes 100-999/1000", 100, 199, 1000, false},  // to the end, more than asked
    {L"bytes 100-198/1000", 100, 199, 1000, false},  // one byte short
    {L"bytes 101-199/1000", 100, 199, 1000, false},  // shifted
    {L"bytes 0-999/1000", 100, 199, 1000, false},    // the whole file in a 206
    {L"bytes 100-199/2000", 100, 199, 1000, false},  // another file's bytes
    {L"bytes 100-199/999", 100, 199, 1000, false},
    {L"bytes 0-0/1", 0, 0, 0, false},    // nothing can be asked of an empty file
    {L"bytes 5-9/10", 9, 5, 10, false},  // a backwards request is never answered
};

}  // namespace zelk::testing

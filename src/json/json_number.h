#pragma once
// The number rule of the JSON reader on its own: the longest prefix that the C
// library's strtod accepts, read as in the "C" locale whatever the process locale
// is. Declared apart so the fuzzer can hold it against the C library itself.

#include <cstddef>
#include <cstdint>

namespace zelk {

// Reads the number at begin, never looking at end or beyond. Returns how many bytes
// form it (with value set) or 0 when strtod would convert nothing (value untouched).
// Like strtod it skips leading C whitespace (space, \t \n \v \f \r), takes a sign,
// decimal and hexadecimal forms, "inf", "infinity" and "nan" with an optional
// "(chars)" in any letter case; too large a magnitude gives infinity, too small zero.
std::size_t scanNumber(const std::uint8_t* begin, const std::uint8_t* end, double& value);

}  // namespace zelk

// libFuzzer target for the JSON reader. Beyond what the sanitizers catch (reads
// outside the input, stack exhaustion, undefined behaviour), it holds the number
// rule and the \u escapes against the C library functions they imitate, and checks
// that bytes after a complete value never change it.

#include "json/json.h"
#include "json/json_number.h"
#include "support/fuzz_check.h"

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <locale.h>
#include <string>
#include <vector>

namespace {

using zelk::JsonType;
using zelk::JsonValue;

using zelk::testing::Check;

locale_t CLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    return c;
}

// NaN payloads are not compared: the reader does not keep them.
bool SameNumber(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
    }
    return a == b && std::signbit(a) == std::signbit(b);
}

bool Same(const JsonValue& a, const JsonValue& b) {
    if (a.type != b.type || a.boolean != b.boolean || !SameNumber(a.number, b.number) ||
        a.string != b.string || a.array.size() != b.array.size() ||
        a.object.size() != b.object.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.array.size(); ++i) {
        if (!Same(a.array[i], b.array[i])) {
            return false;
        }
    }
    for (auto ia = a.object.begin(), ib = b.object.begin(); ia != a.object.end(); ++ia, ++ib) {
        if (ia->first != ib->first || !Same(ia->second, ib->second)) {
            return false;
        }
    }
    return true;
}

// strtod stops at the first zero byte; so does the reader, which takes none in a number.
void CheckNumber(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    char* stop = nullptr;
    const double expected = strtod_l(text.c_str(), &stop, CLocale());
    double value = 0.0;
    const std::size_t used = zelk::scanNumber(data, data + size, value);
    Check(used == static_cast<std::size_t>(stop - text.c_str()),
          "number length differs from strtod");
    Check(used == 0 || SameNumber(value, expected), "number value differs from strtod");
}

// The first four bytes as the body of a \u escape, against strtoul (base 16) with a
// 32-bit result as on Windows.
void CheckHexEscape(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return;
    }
    const std::string four(reinterpret_cast<const char*>(data), 4);
    char* stop = nullptr;
    const auto unit = static_cast<std::uint32_t>(strtoul_l(four.c_str(), &stop, 16, CLocale()));
    JsonValue value;
    const bool ok = zelk::parseJson("\"\\u" + four + "\"", value);
    if (stop == four.c_str()) {
        Check(!ok, "unconvertible \\u escape accepted");
        return;
    }
    std::string expected;
    if (unit < 0x80) {
        expected = {static_cast<char>(unit)};
    } else if (unit < 0x800) {
        expected = {static_cast<char>(0xC0 | (unit >> 6)), static_cast<char>(0x80 | (unit & 0x3F))};
    } else {
        expected = {static_cast<char>(0xE0 | (unit >> 12)),
                    static_cast<char>(0x80 | ((unit >> 6) & 0x3F)),
                    static_cast<char>(0x80 | (unit & 0x3F))};
    }
    Check(ok && value.string == expected, "\\u escape differs from strtoul");
}

bool ShortEscapeAtEnd(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = size < 5 ? 0 : size - 5; i + 1 < size; ++i) {
        if (data[i] == '\\' && data[i + 1] == 'u') {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    JsonValue value;
    const bool ok = zelk::parseJson(std::span(data, size), value);

    // Numbers may run to the end of the input, and a \u escape with fewer than four
    // bytes left reads as the letter u; apart from those, a complete value ends
    // before the end, so trailing bytes cannot change it.
    if (ok && value.type != JsonType::Number && !ShortEscapeAtEnd(data, size)) {
        std::vector<std::uint8_t> longer(data, data + size);
        longer.insert(longer.end(), {'1', ',', '"', '\\'});
        JsonValue again;
        Check(zelk::parseJson(std::span<const std::uint8_t>(longer), again),
              "trailing bytes broke a parse");
        Check(Same(value, again), "trailing bytes changed a value");
    }

    CheckNumber(data, size);
    CheckHexEscape(data, size);
    return 0;
}

#pragma once
// A small, lenient JSON reader for the release manifest and the launcher's
// settings. The program only reads JSON; it never writes any. Free of Windows
// headers: it also builds natively for sanitizers and fuzzing.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

enum class JsonType : std::int32_t { Null, Boolean, Number, String, Array, Object };

// Every member is present whatever the type; only the one matching type is meaningful.
struct JsonValue {
    JsonType type = JsonType::Null;
    bool boolean = false;
    double number = 0.0;
    std::string string;                       // UTF-8 bytes after escape processing
    std::vector<JsonValue> array;             // in input order
    std::map<std::string, JsonValue> object;  // byte-wise key order; last duplicate wins

    // The member with that key, or the shared null value (also for non-objects).
    const JsonValue& get(std::string_view key) const;
    std::string asString(std::string_view fallback) const;
    bool asBool(bool fallback) const;
    double asNumber(double fallback) const;
};

// The shared, immutable null value returned for missing members.
const JsonValue& JsonNull();

// Parses one value at the start of input into out; bytes after it are ignored.
// False on malformed input (out then holds a partial value to be discarded),
// including nesting deeper than 512 levels and a \u escape whose four bytes hold
// no hexadecimal digit to convert.
bool parseJson(std::span<const std::uint8_t> input, JsonValue& out);
bool parseJson(std::string_view input, JsonValue& out);

}  // namespace zelk

#include "json/json.h"

#include "json/json_number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace zelk {
namespace {

// Arrays grow in place; a copy-on-regrow would copy whole subtrees.
static_assert(std::is_nothrow_move_constructible_v<JsonValue>);

// Deeper documents fail instead of running the worker thread out of stack; a
// manifest or settings file nests three or four levels.
constexpr int kMaxDepth = 512;

// Exponents are only needed to tell overflow from underflow, so they saturate.
constexpr std::int64_t kExponentCap = 1'000'000'000;

struct JsonParser {
    const std::uint8_t* pos;
    const std::uint8_t* end;
    bool failed = false;  // never cleared once set
    int depth = 0;
};

bool isJsonSpace(std::uint8_t b) {
    return b == ' ' || b == '\t' || b == '\n' || b == '\r';
}

// isspace in the "C" locale, as strtod and strtoul skip it.
bool isCSpace(std::uint8_t b) {
    return b == ' ' || (b >= '\t' && b <= '\r');
}

bool isDigit(std::uint8_t b) {
    return b >= '0' && b <= '9';
}

bool isHexDigit(std::uint8_t b) {
    return isDigit(b) || ((b | 0x20) >= 'a' && (b | 0x20) <= 'f');
}

std::uint32_t hexDigitValue(std::uint8_t b) {
    return isDigit(b) ? b - '0' : (b | 0x20) - 'a' + 10;
}

bool isAlnum(std::uint8_t b) {
    return isDigit(b) || ((b | 0x20) >= 'a' && (b | 0x20) <= 'z');
}

// Case-insensitive match of a lower-case word that must lie wholly before end.
bool matchesWord(const std::uint8_t* p, const std::uint8_t* end, std::string_view word) {
    if (static_cast<std::size_t>(end - p) < word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        if ((p[i] | 0x20) != static_cast<std::uint8_t>(word[i])) {
            return false;
        }
    }
    return true;
}

// One decimal or hexadecimal real: digits with an optional point, at least one
// digit, then an optional exponent that is taken only when it has digits. Returns
// its end, or null when there is no digit.
const std::uint8_t* scanReal(const std::uint8_t* p, const std::uint8_t* end, bool hex,
                             double& value) {
    auto isMantissaDigit = [hex](std::uint8_t b) { return hex ? isHexDigit(b) : isDigit(b); };
    const std::uint8_t* first = p;
    // Position of the leading non-zero digit (0 for units, -1 for the first
    // fractional digit), only to tell overflow from underflow below.
    std::int64_t order = 0;
    bool nonZero = false;
    for (; p != end && isMantissaDigit(*p); ++p) {
        if (nonZero) {
            ++order;
        } else if (*p != '0') {
            nonZero = true;
        }
    }
    bool anyDigit = p != first;
    if (p != end && *p == '.') {
        const std::uint8_t* q = p + 1;
        std::int64_t zeros = 0;
        for (; q != end && isMantissaDigit(*q); ++q) {
            if (!nonZero) {
                if (*q == '0') {
                    ++zeros;
                } else {
                    nonZero = true;
                    order = -(zeros + 1);
                }
            }
        }
        anyDigit = anyDigit || q != p + 1;
        if (anyDigit) {
            p = q;
        }
    }
    if (!anyDigit) {
        return nullptr;
    }
    std::int64_t exponent = 0;
    if (p != end && (*p | 0x20) == (hex ? 'p' : 'e')) {
        const std::uint8_t* q = p + 1;
        bool negative = false;
        if (q != end && (*q == '+' || *q == '-')) {
            negative = *q == '-';
            ++q;
        }
        if (q != end && isDigit(*q)) {
            for (; q != end && isDigit(*q); ++q) {
                if (exponent < kExponentCap) {
                    exponent = exponent * 10 + (*q - '0');
                }
            }
            exponent = negative ? -exponent : exponent;
            p = q;
        }
    }
    double result = 0.0;
    auto [ptr, ec] =
        std::from_chars(reinterpret_cast<const char*>(first), reinterpret_cast<const char*>(p),
                        result, hex ? std::chars_format::hex : std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone; strtod gives infinity or zero.
        std::int64_t scale = hex ? order * 4 + exponent : order + exponent;
        result = scale >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc() || ptr != reinterpret_cast<const char*>(p)) {
        return nullptr;  // the two readings disagree: better no number than a wrong one
    }
    value = result;
    return p;
}

// Up to four bytes of a \u escape read as strtoul(bytes, base 16) would read them
// with a 32-bit unsigned long. False when strtoul would convert nothing.
bool readHexEscape(const std::uint8_t* p, std::uint32_t& value) {
    const std::uint8_t* end = p + 4;
    while (p != end && isCSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (end - p >= 3 && p[0] == '0' && (p[1] | 0x20) == 'x' && isHexDigit(p[2])) {
        p += 2;
    }
    if (p == end || !isHexDigit(*p)) {
        return false;
    }
    std::uint32_t result = 0;
    for (; p != end && isHexDigit(*p); ++p) {
        result = result * 16 + hexDigitValue(*p);
    }
    value = negative ? 0u - result : result;
    return true;
}

// Code units are written as they come: surrogates are not paired, values past
// 0xFFFF (only a negated escape gives one) keep their low bits.
void appendUtf8(std::string& out, std::uint32_t v) {
    if (v < 0x80) {
        out.push_back(static_cast<char>(v));
    } else if (v < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (v >> 6)));
        out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (v >> 12)));
        out.push_back(static_cast<char>(0x80 | ((v >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    }
}

void skipWhitespace(JsonParser& p) {
    while (p.pos != p.end && isJsonSpace(*p.pos)) {
        ++p.pos;
    }
}

bool startsWith(const JsonParser& p, std::string_view word) {
    return static_cast<std::size_t>(p.end - p.pos) >= word.size() &&
           std::equal(word.begin(), word.end(), p.pos);
}

// Counts one level of nesting for the life of an object or array.
struct Nesting {
    explicit Nesting(JsonParser& parser) : p(parser) {
        if (++p.depth > kMaxDepth) {
            p.failed = true;
        }
    }
    ~Nesting() { --p.depth; }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;
    JsonParser& p;
};

void parseValue(JsonParser& p, JsonValue& out);

// After the opening byte of an object or array: false when the parse has failed
// or the container is empty (its closing byte is then consumed).
bool firstElement(JsonParser& p, std::uint8_t closing) {
    if (p.failed) {
        return false;
    }
    skipWhitespace(p);
    if (p.pos != p.end && *p.pos == closing) {
        ++p.pos;
        return false;
    }
    return true;
}

// After an element of an object or array: true when a comma announces another one,
// false at the closing byte. The end of the input or any other byte fails the parse
// (so a trailing comma fails too: the closing byte is not a value).
bool anotherElement(JsonParser& p, std::uint8_t closing) {
    skipWhitespace(p);
    if (p.pos == p.end) {
        p.failed = true;
        return false;
    }
    const std::uint8_t next = *p.pos++;
    if (next == ',') {
        return true;
    }
    if (next != closing) {
        p.failed = true;
    }
    return false;
}

void parseObject(JsonParser& p, JsonValue& out) {
    out.type = JsonType::Object;
    ++p.pos;
    Nesting nesting(p);
    if (!firstElement(p, '}')) {
        return;
    }
    for (;;) {
        JsonValue key;
        parseValue(p, key);
        skipWhitespace(p);
        if (p.failed || key.type != JsonType::String || p.pos == p.end || *p.pos != ':') {
            p.failed = true;
            return;
        }
        ++p.pos;
        JsonValue value;
        parseValue(p, value);
        if (p.failed) {
            return;
        }
        // Moved, not copied: a member can hold a large subtree. A later duplicate
        // replaces the earlier one.
        out.object[std::move(key.string)] = std::move(value);
        if (!anotherElement(p, '}')) {
            return;
        }
    }
}

void parseArray(JsonParser& p, JsonValue& out) {
    out.type = JsonType::Array;
    ++p.pos;
    Nesting nesting(p);
    if (!firstElement(p, ']')) {
        return;
    }
    for (;;) {
        out.array.emplace_back();
        parseValue(p, out.array.back());
        if (p.failed || !anotherElement(p, ']')) {
            return;
        }
    }
}

void parseString(JsonParser& p, JsonValue& out) {
    out.type = JsonType::String;
    ++p.pos;
    std::string& text = out.string;
    for (;;) {
        const std::uint8_t* run = p.pos;
        while (p.pos != p.end && *p.pos != '"' && *p.pos != '\\') {
            ++p.pos;
        }
        text.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p.pos - run));
        if (p.pos == p.end) {
            p.failed = true;  // unterminated
            return;
        }
        if (*p.pos == '"') {
            ++p.pos;
            return;
        }
        if (p.end - p.pos < 2) {
            // A final backslash is kept as a byte; the string is still unterminated.
            text.push_back('\\');
            ++p.pos;
            p.failed = true;
            return;
        }
        const std::uint8_t escaped = p.pos[1];
        p.pos += 2;
        switch (escaped) {
            case 'n':
                text.push_back('\n');
                break;
            case 't':
                text.push_back('\t');
                break;
            case 'u':
                if (p.end - p.pos < 4) {
                    text.push_back('u');
                } else {
                    std::uint32_t unit = 0;
                    if (!readHexEscape(p.pos, unit)) {
                        p.failed = true;
                        return;
                    }
                    p.pos += 4;  // all four, even when fewer were hex digits
                    appendUtf8(text, unit);
                }
                break;
            default:
                // Also \r, \b and \f: the letter itself.
                text.push_back(static_cast<char>(escaped));
                break;
        }
    }
}

void parseValue(JsonParser& p, JsonValue& out) {
    skipWhitespace(p);
    if (p.pos == p.end) {
        p.failed = true;
        return;
    }
    switch (*p.pos) {
        case '{':
            parseObject(p, out);
            return;
        case '[':
            parseArray(p, out);
            return;
        case '"':
            parseString(p, out);
            return;
        default:
            break;
    }
    // The byte after a keyword is not examined: "truex" is true, then x.
    if (startsWith(p, "true")) {
        out.type = JsonType::Boolean;
        out.boolean = true;
        p.pos += 4;
    } else if (startsWith(p, "false")) {
        out.type = JsonType::Boolean;
        out.boolean = false;
        p.pos += 5;
    } else if (startsWith(p, "null")) {
        p.pos += 4;
    } else {
        double number = 0.0;
        const std::size_t used = scanNumber(p.pos, p.end, number);
        if (used == 0) {
            p.failed = true;
            return;
        }
        out.type = JsonType::Number;
        out.number = number;
        p.pos += used;
    }
}

}  // namespace

std::size_t scanNumber(const std::uint8_t* begin, const std::uint8_t* end, double& value) {
    const std::uint8_t* p = begin;
    while (p != end && isCSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    double magnitude = 0.0;
    if (matchesWord(p, end, "inf")) {
        p += 3;
        if (matchesWord(p, end, "inity")) {
            p += 5;
        }
        magnitude = std::numeric_limits<double>::infinity();
    } else if (matchesWord(p, end, "nan")) {
        p += 3;
        // "nan(chars)" only counts with its closing parenthesis.
        if (p != end && *p == '(') {
            const std::uint8_t* q = p + 1;
            while (q != end && (isAlnum(*q) || *q == '_')) {
                ++q;
            }
            if (q != end && *q == ')') {
                p = q + 1;
            }
        }
        magnitude = std::numeric_limits<double>::quiet_NaN();
    } else {
        const std::uint8_t* stop = nullptr;
        // "0x" without a hex digit after it is the number 0 followed by an x.
        if (end - p >= 2 && p[0] == '0' && (p[1] | 0x20) == 'x') {
            stop = scanReal(p + 2, end, true, magnitude);
        }
        if (stop == nullptr) {
            stop = scanReal(p, end, false, magnitude);
        }
        if (stop == nullptr) {
            return 0;
        }
        p = stop;
    }
    value = negative ? -magnitude : magnitude;
    return static_cast<std::size_t>(p - begin);
}

const JsonValue& JsonNull() {
    static const JsonValue null;
    return null;
}

const JsonValue& JsonValue::get(std::string_view key) const {
    if (type != JsonType::Object || object.empty()) {
        return JsonNull();
    }
    try {
        const auto it = object.find(std::string(key));
        if (it != object.end()) {
            return it->second;
        }
    } catch (const std::bad_alloc&) {
        // No room for a copy of the key: the same as a missing member.
    }
    return JsonNull();
}

std::string JsonValue::asString(std::string_view fallback) const {
    return type == JsonType::String ? string : std::string(fallback);
}

bool JsonValue::asBool(bool fallback) const {
    return type == JsonType::Boolean ? boolean : fallback;
}

double JsonValue::asNumber(double fallback) const {
    return type == JsonType::Number ? number : fallback;
}

bool parseJson(std::span<const std::uint8_t> input, JsonValue& out) {
    JsonParser parser{input.data(), input.data() + input.size()};
    JsonValue value;
    try {
        parseValue(parser, value);
    } catch (const std::bad_alloc&) {
        parser.failed = true;
    } catch (const std::length_error&) {
        parser.failed = true;
    }
    out = std::move(value);
    return !parser.failed;
}

bool parseJson(std::string_view input, JsonValue& out) {
    return parseJson(std::span(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()),
                     out);
}

}  // namespace zelk

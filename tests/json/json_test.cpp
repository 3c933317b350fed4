#include "json/json.h"
#include "json/json_number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {
namespace {

using namespace std::string_literals;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Parses from a buffer of exactly the input's size, so a sanitizer sees any read past it.
bool Parse(std::string_view text, JsonValue& out) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    return parseJson(std::span<const std::uint8_t>(bytes), out);
}

std::string Nested(char open, char close, int depth, std::string_view inner = "1") {
    std::string prefix = open == '{' ? "{\"a\":" : "[";
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += prefix;
    }
    text += inner;
    text.append(depth, close);
    return text;
}

TEST(JsonParse, Rejects) {
    const std::string cases[] = {"", " \t\r\n", "{", "[", "[1", "[1,", "[1 2]", "{\"a\"",
                                 "{\"a\":", "{\"a\" 1}", "{\"a\":1 \"b\":2}", "{1:2}", "{null:1}",
                                 "{[]:1}", "{\"a\":1,}", "[1,]", "[,]", "}", "]", ",", "\"abc",
                                 "\"abc\\", "\"\\", "\xEF\xBB\xBF{}", "\f{}", "\vtrue", "tru",
                                 "nul", "fals", "+", "-", ".", "e5", "[truex]", "[0x]", "[1.5e]",
                                 // \u escapes whose four bytes hold nothing strtoul can convert.
                                 "\"\\uzzzz\"", "\"\\u    \"", "\"\\u-xyz\"", "\"\\u+\"\"\"",
                                 "\"\\u\0\0\0\0\""s, Nested('[', ']', 513), Nested('{', '}', 513),
                                 std::string(100000, '['), std::string(100000, '{')};
    for (const std::string& text : cases) {
        JsonValue value;
        EXPECT_FALSE(Parse(text, value)) << '"' << text.substr(0, 40) << '"';
    }
}

TEST(JsonParse, StructuresAndTrailingText) {
    JsonValue v;
    for (std::string_view text : {"{}", "{ \t\r\n}", "[]", "[ \n ]", "{} trailing", "[]]"}) {
        ASSERT_TRUE(Parse(text, v)) << text;
        EXPECT_EQ(v.type, text[0] == '{' ? JsonType::Object : JsonType::Array) << text;
        EXPECT_TRUE(v.object.empty() && v.array.empty()) << text;
    }
    ASSERT_TRUE(Parse("\r\n\t [1, \"x\" ,[true],{\"k\":null}] [2]", v));
    ASSERT_EQ(v.array.size(), 4u);
    EXPECT_EQ(v.array[0].number, 1.0);
    EXPECT_EQ(v.array[1].string, "x");
    EXPECT_TRUE(v.array[2].array.at(0).boolean);
    EXPECT_EQ(v.array[3].get("k").type, JsonType::Null);
    EXPECT_EQ(v.array[3].object.size(), 1u);

    // Nesting up to the limit still parses.
    ASSERT_TRUE(Parse(Nested('[', ']', 512), v));
    ASSERT_TRUE(Parse(Nested('{', '}', 512), v));
    EXPECT_EQ(v.get("a").get("a").type, JsonType::Object);
}

TEST(JsonParse, ObjectKeysAndDuplicates) {
    JsonValue v;
    ASSERT_TRUE(Parse(R"({"a":[1,2],"b":1,"a":{"c":true},"ab":2,"é":3,"":4})", v));
    EXPECT_EQ(v.get("a").type, JsonType::Object);
    EXPECT_TRUE(v.get("a").array.empty());
    EXPECT_TRUE(v.get("a").get("c").asBool(false));
    EXPECT_EQ(v.get("").asNumber(0), 4.0);
    std::vector<std::string> keys;
    for (const auto& [key, member] : v.object) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"", "a", "ab", "b", "\xC3\xA9"}));
}

TEST(JsonParse, Keywords) {
    JsonValue v;
    ASSERT_TRUE(Parse("truex", v));
    EXPECT_EQ(v.type, JsonType::Boolean);
    EXPECT_TRUE(v.boolean);
    ASSERT_TRUE(Parse(" false,", v));
    EXPECT_EQ(v.type, JsonType::Boolean);
    EXPECT_FALSE(v.boolean);
    v.type = JsonType::Number;
    ASSERT_TRUE(Parse("nullnull", v));
    EXPECT_EQ(v.type, JsonType::Null);
    // A keyword cut short by the end of the range does not match.
    std::string_view longer = "true";
    EXPECT_FALSE(parseJson(longer.substr(0, 3), v));
}

TEST(JsonParse, Numbers) {
    const struct {
        std::string_view text;
        double value;
    } cases[] = {{"0", 0.0},
                 {"+1", 1.0},
                 {"007", 7.0},
                 {"-12.5e2", -1250.0},
                 {"1E+3", 1000.0},
                 {".5", 0.5},
                 {"5.", 5.0},
                 {"0.1", 0.1},
                 {"1e-2x", 0.01},
                 {"1.5e", 1.5},
                 {"0x1p4", 16.0},
                 {"0X1.8P1", 3.0},
                 {"0x.8", 0.5},
                 {"0xff", 255.0},
                 {"0x1p", 1.0},
                 {"0xg", 0.0},
                 {"1e999", kInf},
                 {"-1e999", -kInf},
                 {"1e99999999999999999999", kInf},
                 {"0x1p99999", kInf},
                 {"1e-999", 0.0},
                 {"1.7976931348623157e308", 1.7976931348623157e308},
                 {"1.7976931348623159e308", kInf},
                 {"4.9e-324", std::numeric_limits<double>::denorm_min()},
                 {"inf", kInf},
                 {"-Infinity", -kInf},
                 {"INFINIT", kInf},
                 // The C library skips \v and \f (not JSON whitespace) before a number.
                 {"\v\f 7", 7.0}};
    for (const auto& c : cases) {
        JsonValue v;
        ASSERT_TRUE(Parse(c.text, v)) << c.text;
        EXPECT_EQ(v.type, JsonType::Number) << c.text;
        EXPECT_EQ(v.number, c.value) << c.text;
    }
    JsonValue v;
    ASSERT_TRUE(Parse("-0", v));
    EXPECT_TRUE(v.number == 0.0 && std::signbit(v.number));
    ASSERT_TRUE(Parse("-1e-999", v));
    EXPECT_TRUE(v.number == 0.0 && std::signbit(v.number));
    ASSERT_TRUE(Parse("-NaN(x_1)", v));
    EXPECT_TRUE(std::isnan(v.number) && std::signbit(v.number));
}

TEST(JsonNumber, ConsumesTheLongestAcceptedPrefixBeforeEnd) {
    const struct {
        std::string_view text;
        std::size_t limit;  // bytes of text inside the range
        std::size_t used;
    } cases[] = {{"12345", 3, 3},    {"1e5", 2, 1},      {"1e+5", 4, 4},        {"1e+", 3, 1},
                 {"0x1p-3", 6, 6},   {"0x", 2, 1},       {"0x.p1", 5, 1},       {"-0x1.8p", 7, 6},
                 {"infinity", 8, 8}, {"infinity", 7, 3}, {"nan(ab_9)x", 10, 9}, {"nan(ab", 6, 3},
                 {"nan(a b)", 8, 3}, {"nan()", 5, 5},    {" \t+5", 4, 4},       {"- 5", 3, 0},
                 {"+-5", 3, 0},      {"5,", 2, 1},       {"..5", 3, 0},         {"1..5", 4, 2}};
    for (const auto& c : cases) {
        std::vector<std::uint8_t> bytes(c.text.begin(), c.text.begin() + c.limit);
        double value = -1.0;
        EXPECT_EQ(scanNumber(bytes.data(), bytes.data() + bytes.size(), value), c.used) << c.text;
    }
}

TEST(JsonParse, StringsAndEscapes) {
    const struct {
        std::string_view text;
        std::string value;
    } cases[] = {{R"("a\nb\tc")", "a\nb\tc"},
                 {R"("\r\b\f\"\\\/\q")", "rbf\"\\/q"},
                 {"\"raw \n\t\x01\xC3\xA9\"", "raw \n\t\x01\xC3\xA9"},
                 {R"("\u00e9\u0041\u07FF\u20AC")",
                  "\xC3\xA9"
                  "A\xDF\xBF\xE2\x82\xAC"},
                 {R"("\ud83d\ude00")", "\xED\xA0\xBD\xED\xB8\x80"},
                 {R"("a\u0000b")", "a\0b"s},
                 // Four bytes are consumed whatever they hold, read as strtoul reads them.
                 {R"("\u41"x")", "A"},
                 {R"("\u 7ff")", "\xDF\xBF"},
                 {R"("\u+041")", "A"},
                 {R"("\u0x41")", "A"},
                 {R"("\u0xzz")", "\0"s},
                 {R"("\u-001")", "\xFF\xBF\xBF"},
                 // Fewer than four bytes left after \u: the letter u.
                 {R"("\u12")", "u12"},
                 {"\"\\u\"", "u"}};
    for (const auto& c : cases) {
        JsonValue v;
        ASSERT_TRUE(Parse(c.text, v)) << c.text;
        EXPECT_EQ(v.type, JsonType::String) << c.text;
        EXPECT_EQ(v.string, c.value) << c.text;
    }
}

TEST(JsonValue, LookupsAndDefaults) {
    JsonValue v;
    ASSERT_TRUE(Parse(R"({"s":"x","b":true,"n":2.5,"o":{"k":1},"a":[{"k":2}]})", v));
    EXPECT_EQ(&v.get("missing"), &JsonNull());
    EXPECT_EQ(&v.get("bootstrapper").get("sha256"), &JsonNull());
    EXPECT_EQ(&v.get("a").get("k"), &JsonNull());
    EXPECT_EQ(&v.get("s").get("x"), &JsonNull());
    EXPECT_EQ(v.get("a").array.at(0).get("k").asNumber(0), 2.0);
    EXPECT_TRUE(v.get("b").asBool(false));

    EXPECT_EQ(v.get("s").asString("d"), "x");
    EXPECT_EQ(v.get("n").asNumber(-1), 2.5);
    EXPECT_EQ(v.get("n").asString("d"), "d");
    EXPECT_EQ(v.get("s").asNumber(-1), -1.0);
    EXPECT_TRUE(v.get("n").asBool(true));
    EXPECT_FALSE(v.get("n").asBool(false));
    EXPECT_TRUE(v.get("missing").asBool(true));
    EXPECT_EQ(v.get("missing").asString("d"), "d");
    EXPECT_TRUE(v.get("missing").array.empty());
    EXPECT_EQ(JsonNull().type, JsonType::Null);
}

TEST(JsonParse, ReplacesTheOutputValue) {
    JsonValue v;
    ASSERT_TRUE(Parse(R"({"a":"b"})", v));
    ASSERT_TRUE(Parse("[7]", v));
    EXPECT_EQ(v.type, JsonType::Array);
    EXPECT_TRUE(v.object.empty());
    ASSERT_EQ(v.array.size(), 1u);
    EXPECT_FALSE(Parse("", v));
    EXPECT_EQ(v.type, JsonType::Null);
    EXPECT_TRUE(v.array.empty());
}

TEST(JsonParse, ReleaseManifestShape) {
    JsonValue v;
    ASSERT_TRUE(Parse(R"({
        "version": "2.1.0", "expires": "2031-01-01T00:00:00Z",
        "bootstrapper": {"sha256": "ab12", "size": 5120},
        "files": [
            {"path": "ZelkLauncher.exe", "sha256": "00ff", "size": 4294967296},
            {"path": "data\\fr.pak", "sha256": "cd34", "size": 0}
        ]
    })",
                      v));
    ASSERT_EQ(v.type, JsonType::Object);
    EXPECT_EQ(v.get("bootstrapper").get("sha256").asString(""), "ab12");
    const auto& files = v.get("files").array;
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(static_cast<std::uint64_t>(files[0].get("size").asNumber(-1)), 4294967296u);
    EXPECT_EQ(files[1].get("path").asString(""), "data\\fr.pak");
}

}  // namespace
}  // namespace zelk

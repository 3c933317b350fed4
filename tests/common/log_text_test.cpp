// The run log's text: the line around a step, when the log is set aside, and the
// pieces a line is made of, UTF-16 to UTF-8 included.

#include "common/log_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace zelk {
namespace {

TEST(LogLine, StampMessageAndOneLineEnding) {
    EXPECT_EQ(FormatLogLine({2025, 6, 1, 9, 5, 7, 42}, "start: Zelk 1.0.0"),
              "2025-06-01T09:05:07.042Z start: Zelk 1.0.0\r\n");
    // UTF-8 passes through untouched.
    EXPECT_EQ(FormatLogLine({2025, 1, 2, 3, 4, 5, 6}, "refus\xC3\xA9 \xF0\x9F\x98\x80"),
              "2025-01-02T03:04:05.006Z refus\xC3\xA9 \xF0\x9F\x98\x80\r\n");
}

TEST(LogLine, WhatAServerOrAPathHoldsIsWrittenAsValidUtf8OnOneLine) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string message, written;
    };
    const Case cases[] = {
        // Control characters, C1 ones included, are escaped: one step, one line.
        {"a\r\nb\tc\x7F"
         "d",
         "a<U+000D><U+000A>b<U+0009>c<U+007F>d"},
        {std::string("a\0b", 3), "a<U+0000>b"},
        {"next\xC2\x85line", "next<U+0085>line"},
        // Line separators and the marks that reorder text on screen.
        {"x\xE2\x80\xA8y\xE2\x80\xA9z", "x<U+2028>y<U+2029>z"},
        {"file \xE2\x80\xAE"
         "fdp.exe",
         "file <U+202E>fdp.exe"},
        {"\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD", "<U+202A><U+202B><U+202C><U+202D>"},
        {"\xE2\x81\xA6\xE2\x81\xA9\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C",
         "<U+2066><U+2069><U+200E><U+200F><U+061C>"},
        // Invalid UTF-8: one replacement character per broken piece.
        {"\xED\xA0\x80", fffd + fffd + fffd},  // a surrogate, as a lone "\\ud800" decodes
        {"\xC0\xAF", fffd + fffd},             // an overlong "/"
        {"\xE0\x80\xAF", fffd + fffd + fffd},
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // past U+10FFFF
        {"\xF5x", fffd + "x"},
        {"caf\xC3", "caf" + fffd},  // cut short
        {"\xE2\x82x", fffd + "x"},
        {"\x80\xBF", fffd + fffd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        EXPECT_EQ(FormatLogLine({2025, 12, 31, 23, 59, 59, 999}, c.message),
                  "2025-12-31T23:59:59.999Z " + c.written + "\r\n");
    }
}

TEST(LogRotation, TheLogNeverPassesOneMebibyte) {
    constexpr std::uint64_t kMax = 1048576,  // written out: the size support is told
                            kAll = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::uint64_t logBytes, lineBytes;
        bool rotate;
    };
    for (const Case& c : {
             Case{0, 80, false},
             Case{0, 2 * kMax, false},  // an empty log takes even an oversized line
             Case{kMax - 80, 80, false},
             Case{kMax - 80, 81, true},
             Case{1000000, 48576, false},  // well past a million bytes, under one MiB
             Case{1048000, 500, false},
             Case{kMax, 1, true},
             Case{kMax + 5, 1, true},  // grown by another writer meanwhile
             Case{1, kMax, true},
             Case{kAll, 1, true},
             Case{1, kAll, true},
         }) {
        SCOPED_TRACE(::testing::Message() << c.logBytes << " + " << c.lineBytes);
        EXPECT_EQ(LogNeedsRotation(c.logBytes, c.lineBytes), c.rotate);
    }
    EXPECT_EQ(RotatedLogPath("logs/zelk.log"), std::filesystem::path("logs/zelk.log.1"));
}

TEST(LogPieces, HttpFailures) {
    EXPECT_EQ(DescribeHttpFailure(404, 0), "HTTP 404");
    EXPECT_EQ(DescribeHttpFailure(0, 12029), "error 12029");
    EXPECT_EQ(DescribeHttpFailure(200, 12002), "error 12002 after HTTP 200");
    EXPECT_EQ(DescribeHttpFailure(0, 0), "no answer");
}

TEST(LogPieces, TextsNumbersPathsAndAnswers) {
    const std::wstring folder = L"http://127.0.0.1:1/updates/beta";
    EXPECT_EQ(LogMessage("manifest ", folder, ": HTTP ", 404u),
              "manifest http://127.0.0.1:1/updates/beta: HTTP 404");
    EXPECT_EQ(LogMessage(std::uint64_t{18446744073709551615u}, " ", -12, " ", std::size_t{0}),
              "18446744073709551615 -12 0");
    EXPECT_EQ(LogMessage("link ", true, ", tout ", false), "link yes, tout no");
    EXPECT_EQ(LogMessage("took ", 2.5, " s, ", 0.004), "took 2.50 s, 0.00");
    EXPECT_EQ(LogMessage(std::filesystem::path("lib") / "a.dll"),
              (std::filesystem::path("lib") / "a.dll").string());
    EXPECT_EQ(LogMessage(L"T\u00E9l\u00E9chargement \u2014 ", std::string("ok")),
              "T\xC3\xA9l\xC3\xA9"
              "chargement \xE2\x80\x94 ok");
}

TEST(LogPieces, Utf16ToUtf8WithLoneSurrogatesReplaced) {
    struct Case {
        std::u16string in;
        std::string out;
    };
    const std::string replacement = "\xEF\xBF\xBD";
    for (const Case& c : {
             Case{u"", ""},
             Case{u"abc", "abc"},
             Case{u"\u00E9", "\xC3\xA9"},
             Case{u"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"},
             Case{u"\uFFFF", "\xEF\xBF\xBF"},
             Case{u"\U0001F600", "\xF0\x9F\x98\x80"},
             Case{u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
             Case{std::u16string{u'a', char16_t(0xD83D)}, "a" + replacement},  // cut pair
             Case{std::u16string{char16_t(0xDE00), u'b'}, replacement + "b"},  // low alone
             Case{std::u16string{char16_t(0xD83D), u'x'}, replacement + "x"},  // high, no low
             Case{std::u16string{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)},
                  replacement + "\xF0\x9F\x98\x80"},
         }) {
        std::string out;
        AppendUtf8(out, c.in);
        EXPECT_EQ(out, c.out);
    }
}

}  // namespace
}  // namespace zelk

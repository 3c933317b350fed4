#include "update/state_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>

namespace zelk {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Settings SettingsFrom(std::string_view text) {
    return ParseSettings(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(SettingsText, ChannelAndSwitchAreRead) {
    const Settings settings = SettingsFrom(R"({"channel":"beta","autoUpdate":false,"x":1})");
    EXPECT_EQ(settings.channel, "beta");
    EXPECT_FALSE(settings.autoUpdate);
    EXPECT_EQ(SettingsFrom(R"({"channel":"latest"})").channel, "latest");
    EXPECT_EQ(SettingsFrom(R"( {"channel":"beta"} trailing)").channel, "beta");
    EXPECT_FALSE(SettingsFrom(R"({"autoUpdate":true,"autoUpdate":false})").autoUpdate);
}

TEST(SettingsText, WrongTypesAndUnknownChannelsGiveDefaults) {
    const Settings typed = SettingsFrom(R"({"channel":7,"autoUpdate":"false"})");
    EXPECT_EQ(typed.channel, "release");
    EXPECT_TRUE(typed.autoUpdate);
    EXPECT_TRUE(SettingsFrom(R"({"autoUpdate":0})").autoUpdate);
    const char* channels[] = {R"({"channel":"Beta"})", R"({"channel":"beta "})",
                              R"({"channel":"stable"})", R"({"channel":""})",
                              R"({"channel":"beta\u0000"})"};
    for (const char* text : channels) {
        EXPECT_EQ(SettingsFrom(text).channel, "release") << text;
    }
}

TEST(SettingsText, MalformedOrNonObjectTextGivesBothDefaults) {
    const std::string texts[] = {
        "\xEF\xBB\xBF{\"channel\":\"beta\",\"autoUpdate\":false}",  // a byte-order mark
        "{\"channel\":\"beta\",\"autoUpdate\":false",               // unterminated
        "{\"channel\":\"beta\",\"autoUpdate\":false,}",             // trailing comma
        "[{\"channel\":\"beta\",\"autoUpdate\":false}]",
        "\"beta\"",
        "",
        "   ",
    };
    for (const std::string& text : texts) {
        const Settings settings = SettingsFrom(text);
        EXPECT_EQ(settings.channel, "release") << text;
        EXPECT_TRUE(settings.autoUpdate) << text;
    }
}

TEST(LastDate, OnlyAnExactStampOnTheFirstLine) {
    EXPECT_EQ(ParseLastDate("2024-05-01T10:00:00Z\n"), "2024-05-01T10:00:00Z");
    EXPECT_EQ(ParseLastDate("2024-05-01T10:00:00Z"), "2024-05-01T10:00:00Z");
    EXPECT_EQ(ParseLastDate(FromTextMode("2024-05-01T10:00:00Z\r\nrest\r\n")),
              "2024-05-01T10:00:00Z");
    EXPECT_EQ(ParseLastDate("2024-05-01T10:00:00Z  \n"), "");
    EXPECT_EQ(ParseLastDate("2024-05-01T10:00:00Z\r"), "");
    EXPECT_EQ(ParseLastDate("\n2024-05-01T10:00:00Z\n"), "");
    EXPECT_EQ(ParseLastDate(""), "");
}

// Digests of the lines below: a, b, c and d, 64 times each.
const std::string A(64, 'a'), B(64, 'b'), C(64, 'c'), D(64, 'd');

TEST(IndexText, PathsKeepInnerAndTrailingSpaces) {
    const Entries entries =
        ParseIndexText(A + " 12 my folder/a file.txt\n" + B + " 3   spaced  \n");
    EXPECT_EQ(entries, (Entries{{A, "my folder/a file.txt"}, {B, "spaced  "}}));
}

TEST(IndexText, IncompleteAndBlankLinesAreSkipped) {
    const Entries entries =
        ParseIndexText("\n   \n" + A + "\n" + A + " 12\n" + A + " 12   \n" + C + " 1 ok\n");
    EXPECT_EQ(entries, (Entries{{C, "ok"}}));
}

TEST(IndexText, LinesWithoutADigestAreSkipped) {
    // A damaged line vouches for nothing and does not make its path Zelk's to remove.
    const Entries entries = ParseIndexText("aaa 1 short\n" + std::string(64, 'A') + " 1 upper\n" +
                                           A.substr(1) + "g 1 not hex\n" + C + " 1 ok\n");
    EXPECT_EQ(entries, (Entries{{C, "ok"}}));
}

TEST(IndexText, LeadingWhitespaceAndTabsSeparateWords) {
    EXPECT_EQ(ParseIndexText("  \t" + D + "\t5\t\tpath\twith tab"),
              (Entries{{D, "path\twith tab"}}));
}

TEST(IndexText, DuplicatesKeptInOrderForTheReaderToResolve) {
    EXPECT_EQ(ParseIndexText(A + " 1 x\n" + B + " 1 x\n"), (Entries{{A, "x"}, {B, "x"}}));
}

TEST(IndexText, RoundTripsThroughTextMode) {
    const std::vector<IndexLine> lines = {
        {std::string(64, 'a'), 18446744073709551615u, "ZelkLauncher.exe"},
        {std::string(64, 'b'), 0, "data/caf\xC3\xA9 au lait.bin"},
    };
    const std::string onDisk = ToTextMode(FormatIndexText(lines));
    EXPECT_EQ(onDisk, std::string(64, 'a') + " 18446744073709551615 ZelkLauncher.exe\r\n" +
                          std::string(64, 'b') + " 0 data/caf\xC3\xA9 au lait.bin\r\n");
    EXPECT_EQ(ParseIndexText(FromTextMode(onDisk)),
              (Entries{{std::string(64, 'a'), "ZelkLauncher.exe"},
                       {std::string(64, 'b'), "data/caf\xC3\xA9 au lait.bin"}}));
}

TEST(TextMode, OnlyCrLfPairsChange) {
    EXPECT_EQ(FromTextMode("a\r\nb\rc\n\r"), "a\nb\rc\n\r");
    EXPECT_EQ(ToTextMode("a\nb\r"), "a\r\nb\r");
}

}  // namespace
}  // namespace zelk

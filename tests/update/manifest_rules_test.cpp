#include "update/manifest_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace zelk {
namespace {

JsonValue Manifest(const std::string& text) {
    JsonValue manifest;
    EXPECT_TRUE(parseJson(text, manifest)) << text;
    return manifest;
}

TEST(Timestamps, OnlyTheExactShape) {
    EXPECT_TRUE(IsTimestamp("2024-05-01T10:00:00Z"));
    EXPECT_TRUE(IsTimestamp("2024-13-99T99:99:99Z"));  // shape only, no range check
    const char* rejected[] = {
        "2024-05-01t10:00:00Z",   "2024-05-01T10:00:00z",      "2024-05-01T10:00:00",
        "2024-05-01T10:00:00.5Z", "2024-05-01T10:00:00+02:00", "2024-05-01 10:00:00Z",
        "2024-5-01T10:00:00Z",    "2024-05-01T10:00:00Z ",     "",
        "2024/05/01T10:00:00Z",   "２024-05-01T10:00:00Z",
    };
    for (const char* text : rejected) {
        EXPECT_FALSE(IsTimestamp(text)) << text;
    }
}

TEST(Timestamps, FormattedWithZeroPadding) {
    EXPECT_EQ(FormatTimestamp(2024, 5, 1, 9, 3, 7), "2024-05-01T09:03:07Z");
    EXPECT_EQ(FormatTimestamp(987, 12, 31, 23, 59, 59), "0987-12-31T23:59:59Z");
}

constexpr const char* kNow = "2026-12-08T12:00:00Z";

TEST(Validation, ExpiryIsInclusiveToTheSecond) {
    std::string message = "untouched";
    EXPECT_TRUE(ValidateManifestAt(
        Manifest(R"({"date":"2026-01-01T00:00:00Z","expires":"2026-12-08T12:00:01Z"})"), "", kNow,
        message));
    EXPECT_TRUE(ValidateManifestAt(
        Manifest(R"({"date":"2026-01-01T00:00:00Z","expires":"2026-12-08T12:00:00Z"})"), "", kNow,
        message));
    EXPECT_EQ(message, "untouched");
    EXPECT_FALSE(ValidateManifestAt(
        Manifest(R"({"date":"2026-01-01T00:00:00Z","expires":"2026-12-08T11:59:59Z"})"), "", kNow,
        message));
    EXPECT_EQ(message,
              "manifeste p\xC3\xA9rim\xC3\xA9 (2026-12-08T11:59:59Z) : plateforme ou horloge du "
              "PC \xC3\xA0 v\xC3\xA9rifier");
}

TEST(Validation, MissingOrMalformedDatesAreRefused) {
    const char* manifests[] = {
        R"({"date":"2026-01-01T00:00:00Z"})",
        R"({"date":"2026-01-01T00:00:00Z","expires":20270101})",
        R"({"expires":"2027-01-01T00:00:00Z"})",
        R"({"date":"2026-01-01","expires":"2027-01-01T00:00:00Z"})",
        R"({"date":"2026-01-01T00:00:00Z","expires":"2027-01-01T00:00:00+00:00"})",
        R"([])",
    };
    for (const char* text : manifests) {
        std::string message;
        EXPECT_FALSE(ValidateManifestAt(Manifest(text), "", kNow, message)) << text;
        EXPECT_EQ(message, "manifeste sans date d'expiration") << text;
    }
}

TEST(Validation, OlderThanInstalledIsRefusedSameDateAccepted) {
    const std::string installed = "2024-05-01T10:00:00Z";
    std::string message;
    EXPECT_FALSE(ValidateManifestAt(
        Manifest(R"({"date":"2024-04-30T23:59:59Z","expires":"2099-01-01T00:00:00Z"})"), installed,
        kNow, message));
    EXPECT_EQ(message,
              "manifeste plus ancien que la version install\xC3\xA9"
              "e : refus\xC3\xA9");
    EXPECT_TRUE(ValidateManifestAt(
        Manifest(R"({"date":"2024-05-01T10:00:00Z","expires":"2099-01-01T00:00:00Z"})"), installed,
        kNow, message));
    EXPECT_TRUE(ValidateManifestAt(
        Manifest(R"({"date":"1999-01-01T00:00:00Z","expires":"2099-01-01T00:00:00Z"})"), "", kNow,
        message));
}

TEST(Validation, ExpiryIsJudgedBeforeAge) {
    std::string message;
    EXPECT_FALSE(ValidateManifestAt(
        Manifest(R"({"date":"2020-01-01T00:00:00Z","expires":"2021-01-01T00:00:00Z"})"),
        "2024-01-01T00:00:00Z", kNow, message));
    EXPECT_EQ(message.rfind("manifeste p\xC3\xA9rim\xC3\xA9 (2021-01-01T00:00:00Z)", 0), 0u);
}

TEST(ByteCounts, IntegerPartOrNoSizeAtAll) {
    EXPECT_EQ(ToByteCount(0.0), 0u);
    EXPECT_EQ(ToByteCount(1234.99), 1234u);
    EXPECT_EQ(ToByteCount(-0.5), 0u);
    EXPECT_EQ(ToByteCount(9007199254740993.0), 9007199254740992u);
    EXPECT_EQ(ToByteCount(18446744073709549568.0), 18446744073709549568u);  // largest below 2^64
    EXPECT_EQ(ToByteCount(18446744073709551616.0), UINT64_MAX);
    EXPECT_EQ(ToByteCount(-1.0), UINT64_MAX);
    EXPECT_EQ(ToByteCount(std::numeric_limits<double>::quiet_NaN()), UINT64_MAX);
    EXPECT_EQ(ToByteCount(std::numeric_limits<double>::infinity()), UINT64_MAX);
}

TEST(ManifestPaths, StayBelowTheInstallationFolder) {
    const char* accepted[] = {"ZelkLauncher.exe", "lib/a.dll", "lib\\a.dll", "a.b/c",
                              "dir/.hidden"};
    for (const char* path : accepted) {
        EXPECT_TRUE(IsSafeRelativePath(std::string_view(path))) << path;
    }
    const char* rejected[] = {"",
                              "app/../x.dll",
                              "a..b",
                              "..",
                              "\\x",
                              "/x",
                              "C:x",
                              "C:\\x",
                              "name:stream",
                              "x/..",
                              "\\\\server\\share\\x",
                              "a\nb",
                              "a\r",
                              "\tx",
                              "a\x1f",
                              ". /x" /* a name ending with a space */,
                              "COM1",
                              "d//x"};
    for (const char* path : rejected) {
        EXPECT_FALSE(IsSafeRelativePath(std::string_view(path))) << path;
    }
    // A zero would cut the path short where Windows reads it.
    EXPECT_FALSE(IsSafeRelativePath(std::string_view("a\0/../../x", 10)));
    EXPECT_FALSE(IsSafeRelativePath(std::wstring_view(L"a\0b", 3)));
    // Bytes of UTF-8 sequences are no control characters, whatever char's sign.
    EXPECT_TRUE(IsSafeRelativePath(std::string_view("caf\xC3\xA9/th\xC3\xA9.txt")));
    EXPECT_TRUE(IsSafeRelativePath(std::wstring_view(L"caf\u00E9")));
}

TEST(Channels, OnlyTheFolderNamedInTheManifestOrAnyWithoutTheKey) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"channel":"beta"})", true},
        {R"({})", true},  // published before the key existed
        {R"({"channel":"release"})", false},
        {R"({"channel":"Beta"})", false},
        {R"({"channel":"beta "})", false},
        {R"({"channel":""})", false},
        {R"({"channel":null})", false},
        {R"({"channel":["beta"]})", false},
        {R"({"channel":"release","channel":"beta"})", true},  // the last duplicate counts
    };
    for (const auto& [text, matches] : cases) {
        EXPECT_EQ(ChannelMatches(Manifest(text), "beta"), matches) << text;
    }
}

std::string FileElement(const std::string& path, const std::string& sha256,
                        const std::string& size) {
    return R"({"path":")" + path + R"(","sha256":")" + sha256 + R"(","size":)" + size + "}";
}

TEST(ManifestEntries, EachInvalidElementIsSkippedTheRestKeptInOrder) {
    const std::string digest(64, 'c');
    const std::string elements[] = {
        FileElement("b.txt", digest, "3"),
        FileElement("app/../x.dll", digest, "1"),  // climbs out
        FileElement("a..b", digest, "1"),          // ".." inside a name too
        FileElement("\\\\x", digest, "1"),         // leading backslash
        FileElement("/x", digest, "1"),            // leading slash
        FileElement("", digest, "1"),              // empty
        FileElement("C:x", digest, "1"),           // drive
        FileElement("x:ads", digest, "1"),         // alternate data stream
        FileElement("short", digest.substr(1), "1"),
        FileElement("long", digest + "c", "1"),
        FileElement("caf\\u00e9 1.txt", digest, "12.9"),
        R"({"path":7,"sha256":")" + digest + R"("})",  // a path that is not a string
        R"("not an object")",
        R"({"path":"nosize","sha256":")" + digest + R"(","size":"5"})",
        FileElement("huge", digest, "1e30"),
        // A digest becomes a file name and a URL: only hexadecimal text is one.
        FileElement("upper", std::string(64, 'C'), "1"),
        FileElement("escape", "..\\\\..\\\\Documents\\\\thesis.docx" + std::string(37, '.'), "0"),
        FileElement("drive", "Z:" + digest.substr(2), "1"),
    };
    std::string text = R"({"files":[)";
    for (const std::string& element : elements) {
        text += (&element == elements ? "" : ",") + element;
    }
    const std::vector<ManifestEntry> entries = ReadManifestEntries(Manifest(text + "]}"));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].path, "b.txt");
    EXPECT_EQ(entries[0].sha256, digest);
    EXPECT_EQ(entries[0].size, 3u);
    EXPECT_EQ(entries[1].path, "caf\xC3\xA9 1.txt");
    EXPECT_EQ(entries[1].size, 12u);
    EXPECT_EQ(entries[2].path, "nosize");
    EXPECT_EQ(entries[2].size, 0u);
    EXPECT_EQ(entries[3].path, "huge");
    EXPECT_EQ(entries[3].size, UINT64_MAX);
}

// An optional key that older clients ignore: with it or without it, the same entries.
TEST(ManifestEntries, ABlockMapDigestIsReadAndChangesNothingElse) {
    const std::string digest(64, 'c'), map = "0123456789abcdef" + std::string(48, 'e');
    const std::pair<std::string, std::string> cases[] = {
        {R"("blocks":")" + map + R"(",)", map},
        {R"("blocks":")" + std::string(64, 'E') + R"(",)", ""},  // upper case
        {R"("blocks":")" + map.substr(1) + R"(",)", ""},
        {R"("blocks":")" + map + R"(0",)", ""},
        {R"("blocks":")" + map.substr(1) + R"(g",)", ""},
        {R"("blocks":7,)", ""},
        {R"("blocks":null,)", ""},
        {R"("blocks":[")" + map + R"("],)", ""},
        {"", ""},
    };
    const std::string elements[] = {
        R"({"path":"a.pak","sha256":")" + digest + R"(","size":1048576})",
        R"({"path":"../b.pak","sha256":")" + digest + R"(","size":5})",  // invalid either way
        R"({"path":"c.pak","sha256":")" + digest + R"(","size":7})",
    };
    for (const auto& [key, blocks] : cases) {
        SCOPED_TRACE(key);
        std::string with = R"({"files":[)", without = with;
        for (const std::string& element : elements) {
            const std::string comma = &element == elements ? "" : ",";
            with += comma + "{" + key + element.substr(1);
            without += comma + element;
        }
        const std::vector<ManifestEntry> read = ReadManifestEntries(Manifest(with + "]}"));
        const std::vector<ManifestEntry> plain = ReadManifestEntries(Manifest(without + "]}"));
        ASSERT_EQ(read.size(), 2u);
        ASSERT_EQ(plain.size(), 2u);
        for (std::size_t i = 0; i < read.size(); ++i) {
            EXPECT_EQ(read[i].path, plain[i].path);
            EXPECT_EQ(read[i].sha256, plain[i].sha256);
            EXPECT_EQ(read[i].size, plain[i].size);
            EXPECT_EQ(read[i].blocks, blocks);
            EXPECT_EQ(plain[i].blocks, "");
        }
    }
}

TEST(ManifestEntries, FilesThatAreNotAnArrayMeanNone) {
    const std::string digest(64, 'c');
    EXPECT_TRUE(ReadManifestEntries(Manifest("{}")).empty());
    EXPECT_TRUE(ReadManifestEntries(Manifest(R"({"files":)" + FileElement("x", digest, "1") + "}"))
                    .empty());
    EXPECT_TRUE(
        ReadManifestEntries(Manifest(R"([{"files":[)" + FileElement("x", digest, "1") + "]}]"))
            .empty());
    // The last "files" counts.
    EXPECT_TRUE(ReadManifestEntries(
                    Manifest(R"({"files":[)" + FileElement("x", digest, "1") + R"(],"files":[]})"))
                    .empty());
}

TEST(BootstrapperRecords, ReadAsGivenWithoutADigestEmpty) {
    const std::string digest(64, 'e');
    BootstrapperRecord record = ReadBootstrapperRecord(
        Manifest(R"({"bootstrapper":{"sha256":")" + digest + R"(","size":5120}})"));
    EXPECT_EQ(record.sha256, digest);
    EXPECT_EQ(record.size, 5120u);

    record = ReadBootstrapperRecord(
        Manifest(R"({"bootstrapper":{"sha256":")" + digest + R"(","size":-4}})"));
    EXPECT_EQ(record.sha256, digest);
    EXPECT_EQ(record.size, UINT64_MAX);

    // A record without a digest is no record: nothing is fetched or written for it.
    const std::string without[] = {
        R"({})",
        R"({"bootstrapper":"x"})",
        R"({"bootstrapper":{"sha256":7,"size":"9"}})",
        R"({"bootstrapper":[{"sha256":"ab"}]})",
        R"({"bootstrapper":{"sha256":"ab","size":4}})",
        R"({"bootstrapper":{"sha256":")" + std::string(64, 'E') + R"(","size":4}})",
        R"({"bootstrapper":{"sha256":"..\\..\\Zelk.exe)" + std::string(50, '.') + R"(","size":4}})",
    };
    for (const std::string& text : without) {
        record = ReadBootstrapperRecord(Manifest(text));
        EXPECT_EQ(record.sha256, "") << text;
        EXPECT_EQ(record.size, 0u) << text;
    }
}

}  // namespace
}  // namespace zelk

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
    const char* accepted[] = {"ZelkLauncher.exe", "lib/a.dll", "lib\\a.dll", "a.b/c", ". /x",
                              "dir/.hidden"};
    for (const char* path : accepted) {
        EXPECT_TRUE(IsSafeRelativePath(std::string_view(path))) << path;
    }
    const char* rejected[] = {
        "",     "app/../x.dll",        "a..b", "..", "\\x", "/x", "C:x", "C:\\x", "name:stream",
        "x/..", "\\\\server\\share\\x"};
    for (const char* path : rejected) {
        EXPECT_FALSE(IsSafeRelativePath(std::string_view(path))) << path;
    }
}

}  // namespace
}  // namespace zelk

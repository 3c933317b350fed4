// libFuzzer target for the rules applied to a verified release manifest: its
// judgement (expiry and order against the installed release), the file entries,
// the bootstrapper record and the time stamps. Beyond what the sanitizers catch,
// it holds each rule against the manifest's JSON value read directly: the exact
// refusal for every refused manifest and an untouched message for every accepted
// one, every valid element and only those in manifest order, and time stamps that
// are written, shaped and ordered as the freshness rules assume.

#include "json/json.h"
#include "update/manifest_rules.h"
#include "path_model.h"
#include "support/fuzz_check.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

using zelk::JsonType;
using zelk::JsonValue;

constexpr std::string_view kNoExpiry = "manifeste sans date d'expiration";
constexpr std::string_view kOlder =
    "manifeste plus ancien que la version install\xC3\xA9"
    "e : refus\xC3\xA9";
constexpr std::string_view kUntouched = "(untouched)";

using zelk::testing::Check;

// YYYY-MM-DDTHH:MM:SSZ by position, apart from IsTimestamp.
bool LooksLikeStamp(std::string_view text) {
    static constexpr std::size_t kDigits[] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18};
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
        return false;
    }
    for (std::size_t at : kDigits) {
        if (text[at] < '0' || text[at] > '9') {
            return false;
        }
    }
    return true;
}

const JsonValue* Member(const JsonValue& value, const char* key) {
    if (value.type != JsonType::Object) {
        return nullptr;
    }
    const auto found = value.object.find(key);
    return found == value.object.end() ? nullptr : &found->second;
}

std::string StringMember(const JsonValue& value, const char* key) {
    const JsonValue* member = Member(value, key);
    return member && member->type == JsonType::String ? member->string : std::string();
}

// A size read from a manifest is the number's integer part when that fits in 64
// bits and all ones otherwise (0 when there is no number). The x86-64 long double
// holds every 64-bit count exactly.
void CheckByteCount(const JsonValue& record, std::uint64_t size) {
    const JsonValue* member = Member(record, "size");
    if (!member || member->type != JsonType::Number) {
        Check(size == 0, "a size without a number is not 0");
        return;
    }
    const double number = member->number;
    if (std::isnan(number) || number <= -1.0 || number >= 18446744073709551616.0) {
        Check(size == UINT64_MAX, "a size out of range is not all ones");
    } else {
        Check(static_cast<long double>(size) == std::truncl(number),
              "a size is not the number's integer part");
    }
}

// 64 lower-case hexadecimal characters, written out apart from IsDigestText.
bool LooksLikeDigest(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool ExpectedValid(const std::string& path, const std::string& sha256) {
    return LooksLikeDigest(sha256) &&
           zelk::testing::ModelVerdict(path) == zelk::PathVerdict::Usable;
}

void CheckEntries(const JsonValue& manifest) {
    const std::vector<zelk::ManifestEntry> entries = zelk::ReadManifestEntries(manifest);
    for (const zelk::ManifestEntry& entry : entries) {
        Check(LooksLikeDigest(entry.sha256), "an entry's digest is not a digest");
        Check(zelk::IsSafeRelativePath(std::string_view(entry.path)), "an entry's path is unsafe");
    }

    const JsonValue* files = Member(manifest, "files");
    std::size_t next = 0;
    if (files && files->type == JsonType::Array) {
        for (const JsonValue& element : files->array) {
            const std::string path = StringMember(element, "path");
            const std::string sha256 = StringMember(element, "sha256");
            if (!ExpectedValid(path, sha256)) {
                continue;
            }
            Check(next < entries.size(), "a valid element is missing");
            Check(entries[next].path == path && entries[next].sha256 == sha256,
                  "an entry differs from its element or is out of order");
            CheckByteCount(element, entries[next].size);
            // The block map's digest: the element's when it is one, else nothing.
            const std::string blocks = StringMember(element, "blocks");
            Check(entries[next].blocks == (LooksLikeDigest(blocks) ? blocks : ""),
                  "a block map digest misread");
            ++next;
        }
    }
    Check(next == entries.size(), "an entry without a valid element");
}

void CheckBootstrapper(const JsonValue& manifest) {
    const zelk::BootstrapperRecord record = zelk::ReadBootstrapperRecord(manifest);
    const JsonValue* member = Member(manifest, "bootstrapper");
    const JsonValue& object = member ? *member : zelk::JsonNull();
    const std::string sha256 = StringMember(object, "sha256");
    if (!LooksLikeDigest(sha256)) {
        Check(record.sha256.empty() && record.size == 0, "a bootstrapper without a digest");
        return;
    }
    Check(record.sha256 == sha256, "bootstrapper digest misread");
    CheckByteCount(object, record.size);
}

void CheckValidation(const JsonValue& manifest) {
    const std::string date = StringMember(manifest, "date");
    const std::string expires = StringMember(manifest, "expires");

    // The clock always gives a stamp; the installed date is a stamp or empty. The
    // manifest's own stamps among them put each comparison on its boundary.
    std::vector<std::string> nows = {"0000-00-00T00:00:00Z", "2026-12-08T12:00:00Z",
                                     "9999-99-99T99:99:99Z"};
    std::vector<std::string> lastDates = {"", "1970-01-01T00:00:00Z", "2026-12-08T12:00:00Z"};
    for (const std::string& stamp : {date, expires}) {
        if (LooksLikeStamp(stamp)) {
            nows.push_back(stamp);
            lastDates.push_back(stamp);
        }
    }

    for (const std::string& now : nows) {
        for (const std::string& lastDate : lastDates) {
            std::string message(kUntouched);
            const bool accepted = zelk::ValidateManifestAt(manifest, lastDate, now, message);
            std::string_view expected;
            std::string expired;
            if (!LooksLikeStamp(date) || !LooksLikeStamp(expires)) {
                expected = kNoExpiry;
            } else if (expires < now) {
                expired = "manifeste p\xC3\xA9rim\xC3\xA9 (" + expires +
                          ") : plateforme ou horloge du PC \xC3\xA0 v\xC3\xA9rifier";
                expected = expired;
            } else if (!lastDate.empty() && date < lastDate) {
                expected = kOlder;
            }
            if (expected.empty()) {
                Check(accepted, "a fresh manifest was refused");
                Check(message == kUntouched, "an accepted manifest changed the message");
            } else {
                Check(!accepted, "a stale or undated manifest was accepted");
                Check(message == expected, "a refusal with the wrong message");
            }
        }
    }
}

struct Fields {
    unsigned year, month, day, hour, minute, second;
};

// Six fields of four bytes each: mostly small values, as a clock gives, or any
// value when the top bit is set.
Fields ReadFields(const std::uint8_t* data) {
    unsigned values[6];
    for (int i = 0; i < 6; ++i, data += 4) {
        values[i] = static_cast<unsigned>(data[0]) | static_cast<unsigned>(data[1]) << 8 |
                    static_cast<unsigned>(data[2]) << 16 | static_cast<unsigned>(data[3]) << 24;
        if (!(data[3] & 0x80)) {
            values[i] %= i == 0 ? 10007u : 103u;
        }
    }
    return {values[0], values[1], values[2], values[3], values[4], values[5]};
}

std::string Format(const Fields& f) {
    return zelk::FormatTimestamp(f.year, f.month, f.day, f.hour, f.minute, f.second);
}

unsigned Number(std::string_view text, std::size_t at, std::size_t digits) {
    unsigned value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        value = value * 10 + static_cast<unsigned>(text[at + i] - '0');
    }
    return value;
}

// A formatted time is a stamp exactly when each field fits its digits; it then
// reads back as those fields, and two such stamps order as the times do.
void CheckTimestamps(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    Check(zelk::IsTimestamp(raw) == LooksLikeStamp(raw), "time-stamp shape differs");
    Check(zelk::IsTimestamp(raw.substr(0, 20)) == LooksLikeStamp(raw.substr(0, 20)),
          "time-stamp shape differs");
    if (size < 48) {
        return;
    }
    const Fields a = ReadFields(data), b = ReadFields(data + 24);
    const std::string sa = Format(a), sb = Format(b);
    for (const auto& [f, s] : {std::tie(a, sa), std::tie(b, sb)}) {
        const bool fits = f.year <= 9999 && f.month <= 99 && f.day <= 99 && f.hour <= 99 &&
                          f.minute <= 99 && f.second <= 99;
        Check(zelk::IsTimestamp(s) == fits, "a formatted time is a stamp unless a field overflows");
        if (fits) {
            Check(Number(s, 0, 4) == f.year && Number(s, 5, 2) == f.month &&
                      Number(s, 8, 2) == f.day && Number(s, 11, 2) == f.hour &&
                      Number(s, 14, 2) == f.minute && Number(s, 17, 2) == f.second,
                  "a formatted time reads back differently");
        }
    }
    if (zelk::IsTimestamp(sa) && zelk::IsTimestamp(sb)) {
        const auto ta = std::tie(a.year, a.month, a.day, a.hour, a.minute, a.second);
        const auto tb = std::tie(b.year, b.month, b.day, b.hour, b.minute, b.second);
        Check((ta < tb) == (sa < sb) && (ta == tb) == (sa == sb),
              "stamps order unlike the times they hold");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    JsonValue manifest;
    // Only a parsed object reaches the rules, but they must hold for any value,
    // the partial one of a failed parse included.
    zelk::parseJson(std::span(data, size), manifest);
    CheckValidation(manifest);
    CheckEntries(manifest);
    CheckBootstrapper(manifest);
    CheckTimestamps(data, size);
    return 0;
}

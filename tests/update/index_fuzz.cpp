// libFuzzer target for the text of the two state files the bootstrapper writes:
// the text-mode conversion, the installed release's date (".zelk-manifest") and
// the index of installed files (".zelk-installed"). Beyond what the sanitizers
// catch, it holds the index reader against the same reading done with standard
// streams (whose whitespace rule the reader imitates), the date against the
// time-stamp shape written out by position, and checks that a written index reads
// back as it was.

#include "update/manifest_rules.h"
#include "update/state_text.h"
#include "support/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

using zelk::testing::Check;

// YYYY-MM-DDTHH:MM:SSZ by position, apart from IsTimestamp.
bool LooksLikeStamp(std::string_view text) {
    if (text.size() != 20) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        char expected = 'd';
        switch (i) {
            case 4:
            case 7:
                expected = '-';
                break;
            case 10:
                expected = 'T';
                break;
            case 13:
            case 16:
                expected = ':';
                break;
            case 19:
                expected = 'Z';
                break;
            default:
                break;
        }
        const bool ok = expected == 'd' ? (text[i] >= '0' && text[i] <= '9') : text[i] == expected;
        if (!ok) {
            return false;
        }
    }
    return true;
}

// 64 lower-case hexadecimal characters, written out apart from IsDigestText.
bool LooksLikeDigest(const std::string& word) {
    return word.size() == 64 && word.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Each line: a word (digest), a word (size, dropped), whitespace skipped, the
// rest as the path; lines without a path or a digest are skipped. The stream's
// classic "C" locale gives the same whitespace as the C library's isspace.
Entries ReadWithStreams(const std::string& text) {
    Entries entries;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string digest, size, path;
        fields >> digest >> size >> std::ws;
        std::getline(fields, path);
        if (!path.empty() && LooksLikeDigest(digest)) {
            entries.emplace_back(std::move(digest), std::move(path));
        }
    }
    return entries;
}

void CheckTextMode(std::string_view raw, const std::string& text) {
    Check(zelk::FromTextMode(zelk::ToTextMode(raw)) == raw, "text mode does not round-trip");
    std::size_t pairs = 0;
    for (std::size_t i = 0; i + 1 < raw.size(); ++i) {
        pairs += raw[i] == '\r' && raw[i + 1] == '\n';
    }
    Check(text.size() == raw.size() - pairs, "text-mode read dropped more than CR of CR LF");
}

void CheckLastDate(std::string_view text) {
    const std::string date = zelk::ParseLastDate(text);
    const std::string_view firstLine = text.substr(0, text.find('\n'));
    Check(zelk::IsTimestamp(firstLine) == LooksLikeStamp(firstLine), "time-stamp shape differs");
    if (LooksLikeStamp(firstLine)) {
        Check(date == firstLine, "a first line that is a time stamp was not the date");
    } else {
        Check(date.empty(), "a date that is not the first line's time stamp");
    }
}

void CheckIndex(const std::string& text, const std::uint8_t* data, std::size_t size) {
    const Entries entries = zelk::ParseIndexText(text);
    Check(entries == ReadWithStreams(text), "index lines read unlike a stream reads them");

    // What the reader returns, written as the bootstrapper writes it and read back
    // as it reads it, is unchanged whatever the size field holds.
    std::vector<zelk::IndexLine> lines;
    std::uint64_t seed = 0;
    for (std::size_t i = 0; i < size && i < 8; ++i) {
        seed = seed << 8 | data[i];
    }
    for (const auto& [digest, path] : entries) {
        lines.push_back({digest, lines.empty() ? UINT64_MAX : seed * lines.size(), path});
    }
    const std::string written = zelk::FormatIndexText(lines);
    const std::string onDisk = zelk::ToTextMode(written);
    Check(zelk::ParseIndexText(zelk::FromTextMode(onDisk)) == entries,
          "a written index did not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const std::string text = zelk::FromTextMode(raw);
    CheckTextMode(raw, text);
    CheckLastDate(text);
    CheckLastDate(raw);
    CheckIndex(text, data, size);
    return 0;
}

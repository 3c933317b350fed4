// libFuzzer target for the announced length and range of an answer, read from header
// text the server controls. Beyond what the sanitizers catch, it holds both readers
// against a plain reference written apart from them (a regular expression and decimal
// text compared by length), and checks the table of the unit test first.

#include "net/http_rules.h"
#include "http_rules_cases.h"
#include "support/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>

namespace {

using zelk::testing::Check;

const std::wstring kMaxDecimal = L"18446744073709551615";

// Decimal digits as a 64-bit value, leading zeros dropped, by comparing texts.
std::optional<std::uint64_t> Reference64(std::wstring digits) {
    digits.erase(0, std::min(digits.find_first_not_of(L'0'), digits.size()));
    if (digits.size() > kMaxDecimal.size() ||
        (digits.size() == kMaxDecimal.size() && digits > kMaxDecimal)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (wchar_t c : digits) {
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    return value;
}

std::optional<std::uint64_t> ReferenceLength(const std::wstring& text) {
    static const std::wregex shape(L"[ \t]*([0-9]+)[ \t]*");
    std::wsmatch match;
    if (!std::regex_match(text, match, shape)) {
        return std::nullopt;
    }
    return Reference64(match[1]);
}

std::optional<zelk::ContentRange> ReferenceRange(const std::wstring& text) {
    static const std::wregex shape(L"[ \t]*bytes ([0-9]+)-([0-9]+)/([0-9]+|\\*)[ \t]*");
    std::wsmatch match;
    if (!std::regex_match(text, match, shape)) {
        return std::nullopt;
    }
    const auto first = Reference64(match[1]);
    const auto last = Reference64(match[2]);
    if (!first || !last || *first > *last) {
        return std::nullopt;
    }
    zelk::ContentRange range{*first, *last, std::nullopt};
    if (match[3] != L"*") {
        range.complete = Reference64(match[3]);
        if (!range.complete || *last >= *range.complete) {
            return std::nullopt;
        }
    }
    return range;
}

// A 206 for first..last of a file of size bytes says exactly that, in full.
bool ReferenceExact(const std::wstring& text, std::uint64_t first, std::uint64_t last,
                    std::uint64_t size) {
    const auto range = ReferenceRange(text);
    return range && range->complete && first <= last && last < size && range->first == first &&
           range->last == last && *range->complete == size;
}

bool Same(const std::optional<zelk::ContentRange>& a, const std::optional<zelk::ContentRange>& b) {
    return a.has_value() == b.has_value() &&
           (!a || (a->first == b->first && a->last == b->last && a->complete == b->complete));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const auto& c : zelk::testing::kLengthCases) {
        Check(ReferenceLength(std::wstring(c.text)) == c.length, "length table vs reference");
    }
    for (const auto& c : zelk::testing::kRangeCases) {
        const auto range = ReferenceRange(std::wstring(c.text));
        Check(range.has_value() == c.valid, "range table vs reference");
    }
    for (const auto& c : zelk::testing::kExactRangeCases) {
        Check(ReferenceExact(std::wstring(c.text), c.first, c.last, c.size) == c.taken,
              "exact range table vs reference");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Header values reach the client as UTF-16; each byte widened is enough here.
    const std::wstring text(data, data + size);
    Check(zelk::ParseContentLength(text) == ReferenceLength(text), "content length");
    const auto range = zelk::ParseContentRange(text);
    Check(Same(range, ReferenceRange(text)), "content range");
    if (range) {
        Check(range->first <= range->last, "range order");
        Check(!range->complete || range->last < *range->complete, "range within its length");
        // Asked for what it says, and for its neighbours: taken only when it says it all.
        const std::uint64_t size = range->complete.value_or(range->last + 1);
        for (const std::uint64_t first : {range->first, range->first + 1, range->first - 1}) {
            for (const std::uint64_t last : {range->last, range->last + 1, range->last - 1}) {
                for (const std::uint64_t total : {size, size + 1, size - 1}) {
                    Check(zelk::RangeIsExactly(*range, first, last, total) ==
                              ReferenceExact(text, first, last, total),
                          "exact range");
                }
            }
        }
    }
    return 0;
}

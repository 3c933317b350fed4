// libFuzzer target for the record of a differential download cut short, read from a file
// anything may have written. Beyond what the sanitizers catch, it holds the reader
// against a reference written apart from it (a regular expression per line and decimal
// text compared by length), and checks the table of the unit test first.
//
// Input: the record's text, for a file of kRecordFileSize bytes and the map kRecordMap;
// a first byte of 0xFF instead takes the file size from the next 8 bytes (little-endian).

#include "net/block_record.h"
#include "net/block_map.h"
#include "block_record_cases.h"
#include "support/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace {

using zelk::HeldRange;
using zelk::testing::Check;

const std::string kMaxDecimal = "18446744073709551615";

std::optional<std::uint64_t> Reference64(const std::string& digits) {
    if (digits.size() > kMaxDecimal.size() ||
        (digits.size() == kMaxDecimal.size() && digits > kMaxDecimal)) {
        return std::nullopt;
    }
    return std::stoull(digits);
}

std::optional<std::vector<HeldRange>> Reference(const std::string& text, std::uint64_t size) {
    const std::string header = "ZPLAN 1 " + std::string(zelk::testing::kRecordMap) + "\n";
    if (text.compare(0, header.size(), header) != 0 || text.size() < header.size()) {
        return std::nullopt;
    }
    static const std::regex line("(0|[1-9][0-9]*) ([1-9][0-9]*)");
    std::vector<HeldRange> held;
    std::size_t at = header.size();
    for (std::size_t end = text.find('\n', at); end != std::string::npos;
         at = end + 1, end = text.find('\n', at)) {
        std::smatch match;
        const std::string one = text.substr(at, end - at);
        if (!std::regex_match(one, match, line) || held.size() >= zelk::MaxBlockCount(size)) {
            return std::nullopt;
        }
        const auto offset = Reference64(match[1]);
        const auto length = Reference64(match[2]);
        // Compared as a sum that cannot wrap: both are below 2^64.
        if (!offset || !length || static_cast<unsigned __int128>(*offset) + *length > size) {
            return std::nullopt;
        }
        held.push_back({*offset, *length});
    }
    return held;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const auto& c : zelk::testing::kRecordCases) {
        Check(Reference(std::string(c.text), zelk::testing::kRecordFileSize) == c.held,
              "record table vs reference");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t fileSize = zelk::testing::kRecordFileSize;
    if (size >= 9 && data[0] == 0xFF) {
        fileSize = 0;
        for (int i = 8; i >= 1; --i) {
            fileSize = (fileSize << 8) | data[i];
        }
        data += 9;
        size -= 9;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto held = zelk::ReadBlockRecord(text, zelk::testing::kRecordMap, fileSize);
    Check(held == Reference(text, fileSize), "record");
    if (held) {
        for (const HeldRange& range : *held) {
            Check(range.length > 0 && range.offset < fileSize &&
                      range.length <= fileSize - range.offset,
                  "a held range lies within the file");
        }
    }
    return 0;
}

// libFuzzer target for the run log's text. The input's first bytes make a time, the
// rest is read twice: as UTF-16 code units, whose UTF-8 must be valid and match the
// standard library's conversion when the units are well formed (and hold a replacement
// character when a surrogate stands alone), and as the message of a log line, which
// must come out as exactly one line of valid UTF-8 that reads as it was written.

#include <algorithm>
#include <codecvt>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <locale>
#include <string>

#include "common/log_text.h"
#include "support/fuzz_check.h"

namespace {

using zelk::testing::Check;

// Code points of strictly valid UTF-8 (no overlong forms, no surrogates), or false.
bool DecodeUtf8(const std::string& text, std::u32string& points) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80   ? 1
                                   : lead < 0xC2 ? 0
                                   : lead < 0xE0 ? 2
                                   : lead < 0xF0 ? 3
                                   : lead < 0xF5 ? 4
                                                 : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        char32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (next & 0x3F);
        }
        const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        }
        points += c;
        i += length;
    }
    return true;
}

// Every high surrogate followed by a low one, and no low one alone.
bool WellFormed(const std::u16string& units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (units[i] >= 0xD800 && units[i] <= 0xDBFF) {
            if (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (units[i] >= 0xDC00 && units[i] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

// Control characters, separators and bidirectional marks, listed apart from the log's.
bool ChangesHowALineReads(char32_t c) {
    static constexpr char32_t kMarks[] = {0x061C, 0x200E, 0x200F, 0x2028, 0x2029, 0x202A, 0x202B,
                                          0x202C, 0x202D, 0x202E, 0x2066, 0x2067, 0x2068, 0x2069};
    return c < 0x20 || (c >= 0x7F && c < 0xA0) ||
           std::find(std::begin(kMarks), std::end(kMarks), c) != std::end(kMarks);
}

#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
std::string StandardUtf8(const std::u16string& text) {
    return std::wstring_convert<std::codecvt_utf8_utf16<char16_t>, char16_t>().to_bytes(text);
}
#pragma clang diagnostic pop

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string units(size / 2, u'\0');
    std::memcpy(units.data(), data, units.size() * 2);

    std::string utf8;
    zelk::AppendUtf8(utf8, units);
    std::u32string points;
    Check(DecodeUtf8(utf8, points), "the conversion gives valid UTF-8");
    if (WellFormed(units)) {
        Check(utf8 == StandardUtf8(units),
              "well-formed UTF-16 converts as the standard library does");
    } else {
        Check(points.size() <= units.size() && points.find(0xFFFD) != std::u32string::npos,
              "a lone surrogate is replaced, never dropped or passed on");
    }

    zelk::LogTime time;
    if (size >= 7) {
        time = {data[0] * 40u, data[1] % 13u, data[2] % 32u, data[3] % 24u,
                data[4] % 60u, data[5] % 60u, data[6] * 4u};
    }
    const std::string message(reinterpret_cast<const char*>(data), size);
    const std::string line = zelk::FormatLogLine(time, message);
    Check(line.size() >= 27 && line.compare(line.size() - 2, 2, "\r\n") == 0,
          "the line ends with CR LF");
    std::u32string written;
    Check(DecodeUtf8(line, written), "the line is valid UTF-8");
    written.resize(written.size() - 2);
    for (const char32_t c : written) {
        Check(!ChangesHowALineReads(c), "no control, separator or bidirectional mark inside");
    }
    std::u32string given;
    if (DecodeUtf8(message, given) &&
        std::none_of(given.begin(), given.end(), ChangesHowALineReads)) {
        Check(line.compare(25, message.size(), message) == 0 && line.size() == message.size() + 27,
              "a plain message is written as it is");
    }
    return 0;
}

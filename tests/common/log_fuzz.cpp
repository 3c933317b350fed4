// libFuzzer target for the run log's text. The input's first bytes make a time, the
// rest is read twice: as UTF-16 code units, whose UTF-8 must be valid and match the
// standard library's conversion when the units are well formed (and hold a replacement
// character when a surrogate stands alone), and as the message of a log line,
// which must come out as exactly one line.

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
    Check(line.size() == 25 + message.size() + 2, "stamp, message and line ending, nothing else");
    Check(line.compare(line.size() - 2, 2, "\r\n") == 0, "the line ends with CR LF");
    for (std::size_t i = 0; i + 2 < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        Check(byte >= 0x20 && byte != 0x7F, "no control character inside the line");
    }
    return 0;
}

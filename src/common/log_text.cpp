#include "common/log_text.h"

#include <algorithm>
#include <cstdio>

namespace zelk {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendCodePoint(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Code units of 16 bits are UTF-16: a high surrogate followed by a low one makes one
// code point; any other surrogate stands alone and is replaced. Wider units are code
// points already; a surrogate or a value past U+10FFFF is replaced all the same.
template <typename Char>
void AppendUnits(std::string& out, std::basic_string_view<Char> text) {
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<std::make_unsigned_t<Char>>(text[i]);
        if constexpr (sizeof(Char) == 2) {
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                const char32_t low = static_cast<std::make_unsigned_t<Char>>(text[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        if ((c < 0x10000 && IsSurrogate(c)) || c > 0x10FFFF) {
            c = kReplacement;
        }
        AppendCodePoint(out, c);
    }
}

}  // namespace

std::string FormatLogLine(const LogTime& time, std::string_view message) {
    char stamp[40];
    const int length =
        std::snprintf(stamp, sizeof(stamp), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ ",
                      time.year % 10000, time.month % 100, time.day % 100, time.hour % 100,
                      time.minute % 100, time.second % 100, time.millisecond % 1000);
    std::string line(stamp, static_cast<size_t>(length));
    line.reserve(line.size() + message.size() + 2);
    for (char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        line += (byte < 0x20 || byte == 0x7F) ? ' ' : c;
    }
    line += "\r\n";
    return line;
}

bool LogNeedsRotation(std::uint64_t logBytes, std::uint64_t lineBytes) {
    // An empty log takes any line: there is nothing to set aside.
    return logBytes > 0 && lineBytes > kLogRotateBytes - std::min(logBytes, kLogRotateBytes);
}

std::filesystem::path RotatedLogPath(const std::filesystem::path& log) {
    std::filesystem::path rotated = log;
    rotated += ".1";
    return rotated;
}

std::string DescribeHttpFailure(std::uint32_t status, std::uint32_t error) {
    if (error != 0) {
        return status != 0 ? LogMessage("error ", error, " after HTTP ", status)
                           : LogMessage("error ", error);
    }
    return status != 0 ? LogMessage("HTTP ", status) : std::string("no answer");
}

void AppendUtf8(std::string& out, std::wstring_view text) {
    AppendUnits(out, text);
}

void AppendUtf8(std::string& out, std::u16string_view text) {
    AppendUnits(out, text);
}

void AppendLogPiece(std::string& out, double number) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof(buffer), number, std::chars_format::fixed, 2);
    out.append(buffer, result.ec == std::errc() ? result.ptr : buffer);
}

}  // namespace zelk

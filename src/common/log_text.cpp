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

// The code point of the UTF-8 sequence at text[at], moving at past it. Anything that is
// not strictly valid UTF-8 (a stray or missing continuation byte, an overlong form, an
// encoded surrogate such as a JSON "\\ud800" leaves, a value past U+10FFFF) gives one
// replacement character per maximal invalid piece, as Unicode recommends.
char32_t DecodeUtf8(std::string_view text, size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at++]);
    if (lead < 0x80) {
        return lead;
    }
    const size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0) {
        return kReplacement;
    }
    char32_t c = lead & (0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k) {
        if (at >= text.size()) {
            return kReplacement;
        }
        const auto next = static_cast<unsigned char>(text[at]);
        // The second byte's range also rules out overlong forms, surrogates and values
        // past U+10FFFF before any of them is decoded.
        unsigned char low = 0x80, high = 0xBF;
        if (k == 1) {
            low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        }
        if (next < low || next > high) {
            return kReplacement;
        }
        c = (c << 6) | (next & 0x3F);
        ++at;
    }
    return c;
}

// Characters that would change how a line reads rather than what it says: control
// characters (C0, DEL, C1), the line and paragraph separators, and the marks that
// reorder text on screen (bidirectional embeddings, overrides and isolates), which can
// make a server's text look like another path or message.
bool IsEscapedInLog(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
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
    for (size_t at = 0; at < message.size();) {
        const char32_t c = DecodeUtf8(message, at);
        if (IsEscapedInLog(c)) {
            char escape[12];
            const int written =
                std::snprintf(escape, sizeof(escape), "<U+%04X>", static_cast<unsigned>(c));
            line.append(escape, static_cast<size_t>(written));
        } else {
            AppendCodePoint(line, c);
        }
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

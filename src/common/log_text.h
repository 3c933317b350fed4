#pragma once
// The text of the run log, free of Windows headers: one UTF-8 line per step behind a
// UTC time stamp, the pieces a line is made of, and when the log begins anew.

#include <charconv>
#include <concepts>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>

namespace zelk {

// A log never grows past this; the full one is kept once under RotatedLogPath.
inline constexpr std::uint64_t kLogRotateBytes = 1048576;

struct LogTime {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// "2025-06-01T12:34:56.789Z message" and CR LF, always valid UTF-8: an invalid sequence
// in the message becomes U+FFFD, and every control character (a line break in a server's
// refusal, say), line separator or bidirectional mark is written as "<U+XXXX>": one step,
// one line, read as it was written.
std::string FormatLogLine(const LogTime& time, std::string_view message);

// Whether the log must be set aside before a line of lineBytes joins a log of logBytes,
// so that it never passes kLogRotateBytes (a lone longer line is still written whole).
bool LogNeedsRotation(std::uint64_t logBytes, std::uint64_t lineBytes);

// Where the full log goes: "zelk.log" -> "zelk.log.1", replacing an older one.
std::filesystem::path RotatedLogPath(const std::filesystem::path& log);

// How a failed request ended, for a line of the log: "HTTP 404", "error 12029" (a
// WinHTTP or system error), "error 12002 after HTTP 200" (cut while the body came).
std::string DescribeHttpFailure(std::uint32_t status, std::uint32_t error);

// UTF-16 (or, where wchar_t is 32 bits, UTF-32) text appended as UTF-8; a lone
// surrogate becomes U+FFFD.
void AppendUtf8(std::string& out, std::wstring_view text);
void AppendUtf8(std::string& out, std::u16string_view text);

// The pieces of a log line: UTF-8 and wide texts, paths, numbers, yes/no.
inline void AppendLogPiece(std::string& out, std::string_view text) {
    out += text;
}
inline void AppendLogPiece(std::string& out, const char* text) {
    out += text;
}
inline void AppendLogPiece(std::string& out, std::wstring_view text) {
    AppendUtf8(out, text);
}
inline void AppendLogPiece(std::string& out, const wchar_t* text) {
    AppendUtf8(out, text);
}
inline void AppendLogPiece(std::string& out, bool yes) {
    out += yes ? "yes" : "no";
}
// A template, so that a wide string is not also taken for a path.
template <typename Path>
requires std::same_as<Path, std::filesystem::path>
void AppendLogPiece(std::string& out, const Path& path) {
    AppendLogPiece(out, std::basic_string_view<typename Path::value_type>(path.native()));
}
template <typename Number>
requires(std::is_integral_v<Number> && !std::same_as<Number, bool> && !std::same_as<Number, char> &&
         !std::same_as<Number, wchar_t>) void AppendLogPiece(std::string& out, Number number) {
    char buffer[24];
    out.append(buffer, std::to_chars(buffer, buffer + sizeof(buffer), number).ptr);
}
// Seconds and other measures: two decimals, a point whatever the locale.
void AppendLogPiece(std::string& out, double number);

template <typename... Parts>
std::string LogMessage(const Parts&... parts) {
    std::string message;
    (AppendLogPiece(message, parts), ...);
    return message;
}

}  // namespace zelk

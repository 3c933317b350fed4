#pragma once
// Rules of the HTTP client that need no platform: reading the length and the range a
// response announces, the Range a resumed download asks for, and the low-speed limit
// of a transfer. Free of Windows headers.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

// A Content-Length value as WinHTTP accepts it: decimal digits, any number of leading
// zeros, optional spaces or tabs around them. Empty when it is not such a number or
// does not fit 64 bits (a body of that length cannot be held against anything).
std::optional<std::uint64_t> ParseContentLength(std::wstring_view text);

// "bytes first-last/complete" of a 206 answer; complete is empty for "*".
struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::optional<std::uint64_t> complete;
};

// Empty unless the text is a well-formed byte range with first <= last (and, when the
// complete length is known, last < complete). Unit and numbers as RFC 9110 writes
// them: "bytes", one space, digits only.
std::optional<ContentRange> ParseContentRange(std::wstring_view text);

// Whether a 206 answer carries exactly the bytes a download asked for: from offset to
// the end of a file of size bytes.
bool RangeContinues(const ContentRange& range, std::uint64_t offset, std::uint64_t size);

// Whether a 206 answer carries exactly the bytes first..last asked for, of a file of
// size bytes: the same range, and the file's size as its complete length (a "*" is not
// enough: the bytes could belong to another file).
bool RangeIsExactly(const ContentRange& range, std::uint64_t first, std::uint64_t last,
                    std::uint64_t size);

// The request header asking for the bytes from offset to the end.
std::wstring RangeHeader(std::uint64_t offset);

// The request header asking for the bytes first..last (both included).
std::wstring RangeHeader(std::uint64_t first, std::uint64_t last);

// The low-speed limit of one transfer: it fails once fewer than minBytes arrived during
// the last windowMs milliseconds. A slow but real link passes; a drip does not. Fed
// the running total after every read; remembers at most one sample a second.
class TransferPace {
public:
    TransferPace(std::uint64_t minBytes, std::uint64_t windowMs, std::uint64_t startMs);

    // False when the window that ends at nowMs saw fewer than minBytes.
    bool Keeps(std::uint64_t totalBytes, std::uint64_t nowMs);

private:
    struct Sample {
        std::uint64_t ms;
        std::uint64_t bytes;
    };
    std::uint64_t minBytes_;
    std::uint64_t windowMs_;
    std::vector<Sample> samples_;  // oldest first, one a second at most
};

}  // namespace zelk

namespace zelk {

// What a user can do something about when a server could not be used, told apart from
// a server that is simply unreachable. Certificate: the server's certificate was
// refused (expired or not yet valid, most often a wrong clock; another name; an issuer
// nobody trusts, as when an antivirus intercepts TLS; revoked). ProxyCredentials: a
// proxy answered 407. Unavailable: the server answered 503 or 429.
enum class NetworkTrouble : std::uint8_t { None, Certificate, ProxyCredentials, Unavailable };

// The trouble of one request's end: its status (0 when no answer came) and error.
NetworkTrouble TroubleOf(std::uint32_t status, std::uint32_t error);

// The trouble of a series of failed requests (every server tried for one thing): a
// proxy wanting credentials over a refused certificate over the rest; Unavailable only
// when every request was answered 503 or 429.
class TroubleTally {
public:
    void Add(std::uint32_t status, std::uint32_t error);
    NetworkTrouble Reason() const;

private:
    bool any_ = false;
    bool allUnavailable_ = true;
    bool certificate_ = false;
    bool proxyCredentials_ = false;
};

}  // namespace zelk

#pragma once
// The one routine through which the program talks to its update servers: a GET of an
// http or https URL on WinHTTP, either whole into memory (the manifest and its
// signature) or streamed chunk by chunk (content files, possibly resumed).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/http_rules.h"
#include "net/proxy.h"
#include "net/winhttp_handle.h"

namespace zelk {

// Called after every block received with the body's size so far.
using ProgressCallback = std::function<void(std::uint64_t received)>;

// How a request ended. Only ok counts as success; status and error say what went
// wrong otherwise, for the run's log.
struct HttpResult {
    bool ok = false;
    std::uint32_t status = 0;  // the response's status code, 0 when none arrived
    std::uint32_t error = 0;   // the WinHTTP or system error that ended it, else 0
    explicit operator bool() const { return ok; }
};

// What bounds one request, from its start to its last byte: the wait for the
// response's headers is covered like the body. Name resolution and connecting take at
// most 5 s each, sending 10 s; each wait for data (all of the response's headers, then
// each block of the body) at most receiveTimeoutMs. A request that receives fewer than
// lowSpeedBytes of body in any lowSpeedWindowMs fails, counted from the send, so neither
// a drip of headers nor one of body holds the splash; deadlineMs, when not 0, bounds the
// whole request. A request ends within about a quarter of a second once a bound runs
// out or its cancel flag is set, whatever the server does: its thread is left to finish
// the blocked call on its own.
struct RequestLimits {
    std::uint32_t receiveTimeoutMs = 30000;
    std::uint64_t lowSpeedBytes = 1024;
    std::uint32_t lowSpeedWindowMs = 30000;
    std::uint32_t deadlineMs = 0;
};

// The manifest and its signature: small, so a minute is plenty.
inline constexpr RequestLimits kDocumentLimits{30000, 1024, 30000, 60000};
// Content files: as long as they keep coming.
inline constexpr RequestLimits kContentLimits{30000, 1024, 30000, 0};

struct RequestThreads;

// The client of a run. Every request of a run goes through it, so that its connections
// are kept alive and reused (WinHTTP pools them per session on Windows) and each
// server's proxy is chosen once (net/proxy.h): one WinHTTP session per way out.
// Its requests make their blocking calls on request threads of the session's own, each
// reading into a block of its own: a thread that is done with a request waits for the
// next one, so a run of many files costs a few threads and a few blocks. Safe to use
// from several threads.
struct HttpSession {
    std::shared_ptr<ProxyRoutes> routes;
    std::shared_ptr<RequestThreads> threads;  // the idle ones; they end with the session
};

// The system's proxy settings are read when the first request needs them; tests hand
// in their own. Its requests fail when it could not be made.
HttpSession OpenHttpSession(std::optional<ProxySettings> proxies = std::nullopt);

// The start of an answer, shown to the caller before any byte of its body is read.
struct HttpAnswer {
    std::uint32_t status = 0;
    std::optional<std::uint64_t> length;  // announced and checkable against the body
    std::optional<ContentRange> range;    // of a 206
};

struct HttpRequest {
    std::wstring url;
    std::uint64_t offset = 0;             // when not 0, only the bytes from here on are asked for
    std::uint64_t last = UINT64_MAX;      // when set, only the bytes offset..last are asked for
    std::uint64_t maxBytes = UINT64_MAX;  // the body is abandoned before it grows past this
    RequestLimits limits;
    const std::atomic<bool>* cancel = nullptr;  // set by another thread: the request ends
    // The answer must be the server's current one: caches on the way (a proxy, a CDN)
    // are asked not to serve a copy they keep.
    bool current = false;
    // Redirects are followed from https to http too. Only for what is checked against
    // a signed digest once it arrives; otherwise WinHTTP's default policy refuses them.
    bool anyRedirect = false;
};

// false from wanted: the answer is not read (the result carries its status).
using AnswerCheck = std::function<bool(const HttpAnswer& answer)>;
// false from sink: stop, the request failed (error ERROR_WRITE_FAULT unless the sink
// leaves its own in GetLastError). Both are called on the request's thread, never once
// httpFetch has returned.
using ChunkSink = std::function<bool(std::span<const std::uint8_t> chunk)>;

// Streams one GET: ok when the answer was wanted and its whole body reached the sink
// (as long as announced, when a length was announced that can be held against it).
// It goes through the server's proxy; when that proxy failed (ProxyFailed), the
// request is made once more directly, and the server is reached directly from then
// on. Through a proxy, WinHTTP answers a proxy's NTLM or Negotiate challenge with the
// user's own logon.
HttpResult httpFetch(const HttpSession& session, const HttpRequest& request,
                     const AnswerCheck& wanted, const ChunkSink& sink);

// Synchronous GET of a whole body into memory, asked for as current (the manifest and
// its signature): true only for a complete 200 response of at most maxBytes bytes,
// which is then in body. Any other status leaves body as it was; other
// failures may leave a partial body. reserveBytes, when not 0, is the expected final
// size: the body is allocated once for it (else for the announced length), never
// beyond maxBytes. An allocation failure is a failed download.
HttpResult httpGet(const HttpSession& session, const std::wstring& url,
                   std::vector<std::uint8_t>& body, const ProgressCallback& progress,
                   std::uint64_t maxBytes, const RequestLimits& limits = kDocumentLimits,
                   std::uint64_t reserveBytes = 0);

// As above, through a session of its own (tools and tests).
HttpResult httpGet(const std::wstring& url, std::vector<std::uint8_t>& body,
                   const ProgressCallback& progress, std::uint64_t maxBytes,
                   std::uint64_t reserveBytes = 0);

}  // namespace zelk

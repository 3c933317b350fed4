#pragma once
// The one routine through which the program talks to its update servers.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

// Synchronous GET of an http or https URL. True only for a complete 200 response
// of at most maxBytes bytes, which is then in body; a body shorter than its
// announced Content-Length (connection closed early) is a failure. Any other
// status leaves body as it was; other failures may leave a partial body.
// reserveBytes, when not 0, is the expected final size: the body is allocated
// once for it (else for the announced length), never beyond maxBytes. An
// allocation failure is a failed download.
HttpResult httpGet(const std::wstring& url, std::vector<std::uint8_t>& body,
                   const ProgressCallback& progress, std::uint64_t maxBytes,
                   std::uint64_t reserveBytes = 0);

}  // namespace zelk

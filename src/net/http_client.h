#pragma once
// The one routine through which the program talks to its update servers.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelk {

// Called after every block received with the body's size so far.
using ProgressCallback = std::function<void(std::uint64_t received)>;

// Synchronous GET of an http or https URL. True only for a complete 200 response
// of at most maxBytes bytes, which is then in body; a body shorter than its
// announced Content-Length (connection closed early) is a failure. Any other
// status leaves body as it was; other failures may leave a partial body.
// reserveBytes, when not 0, is the expected final size: the body is allocated
// once for it (else for the announced length), never beyond maxBytes. An
// allocation failure is a failed download.
bool httpGet(const std::wstring& url, std::vector<std::uint8_t>& body,
             const ProgressCallback& progress, std::uint64_t maxBytes,
             std::uint64_t reserveBytes = 0);

}  // namespace zelk

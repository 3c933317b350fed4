#pragma once
// Content of a release fetched by its SHA-256 digest, trying servers in order.

#include <cstdint>
#include <string>
#include <vector>

#include "net/http_client.h"

namespace zelk {

// True when one of the bases served, at base + "/files/" + digest, exactly
// expectedSize bytes whose SHA-256 is expectedDigest; servedBy, when given, then names
// that base (for the log).
bool downloadContent(const std::vector<std::wstring>& bases, const std::string& expectedDigest,
                     std::vector<std::uint8_t>& body, const ProgressCallback& progress,
                     std::uint64_t expectedSize, std::wstring* servedBy = nullptr);

}  // namespace zelk

#pragma once
// Checks the release manifest's detached ECDSA P-256 signature against the two
// public keys built into the program.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zelk {

// Base64 text to bytes; empty when the text cannot be decoded.
std::vector<std::uint8_t> decodeSignature(std::string_view text);

// True when signature (r || s, 64 bytes) is valid for the exact manifest bytes
// under the primary or else the secondary built-in key.
bool verifyManifestSignature(std::span<const std::uint8_t> manifest,
                             std::span<const std::uint8_t> signature);

// One attempt with one key: X and Y are 32-byte big-endian coordinates.
bool verifyWithKey(std::span<const std::uint8_t, 32> keyX, std::span<const std::uint8_t, 32> keyY,
                   std::span<const std::uint8_t, 32> digest,
                   std::span<const std::uint8_t> signature);

}  // namespace zelk

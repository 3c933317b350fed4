#pragma once
// SHA-256 of bytes in memory, through the platform's CNG provider.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/unique.h"

namespace zelk {

using Sha256Digest = std::array<std::uint8_t, 32>;

// False when the platform reports a failure; digest is then meaningless.
bool sha256Digest(std::span<const std::uint8_t> bytes, Sha256Digest& digest);

// 64 lower-case hexadecimal characters, or an empty string when hashing failed,
// so that a failure never compares equal to a valid digest.
std::string sha256Hex(std::span<const std::uint8_t> bytes);

// A CNG hash object (BCRYPT_HASH_HANDLE) fed piece by piece: a download is hashed as
// it arrives, so its digest is ready when the last byte lands.
struct HashHandleTraits {
    using Type = void*;
    static Type empty() { return nullptr; }
    static void close(Type h);
};
using Sha256Stream = Unique<HashHandleTraits>;

// A new SHA-256 hash object; empty when the platform refuses one.
Sha256Stream Sha256Begin();

// False when the platform reports a failure (the stream is then of no further use).
bool Sha256Add(const Sha256Stream& stream, std::span<const std::uint8_t> bytes);

// Feeds the next bytes of an open file, from its file pointer on, in pieces of 1 MiB.
// False when the file holds fewer or cannot be read, or hashing fails.
bool Sha256AddFile(const Sha256Stream& stream, void* file, std::uint64_t bytes);

// The digest as 64 lower-case hexadecimal characters, or empty when hashing failed.
// The stream is finished: it takes no more bytes.
std::string Sha256FinishHex(const Sha256Stream& stream);

// The digest itself; false when hashing failed. The stream is finished.
bool Sha256Finish(const Sha256Stream& stream, Sha256Digest& digest);

namespace detail {
// As sha256Digest, feeding the provider at most pieceSize bytes per call; inputs of
// 4 GiB and more do not fit the provider's 32-bit length in one call.
bool sha256DigestInPieces(std::span<const std::uint8_t> bytes, std::size_t pieceSize,
                          Sha256Digest& digest);
}  // namespace detail

}  // namespace zelk

#include "integrity/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

#include "common/unique.h"

#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif

namespace zelk {
namespace {

struct HashHandleTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static Type empty() { return nullptr; }
    static void close(Type h) { BCryptDestroyHash(h); }
};
using UniqueHash = Unique<HashHandleTraits>;

constexpr std::size_t kLargestPiece = 0x40000000;  // 1 GiB, well inside a ULONG

}  // namespace

namespace detail {

bool sha256DigestInPieces(std::span<const std::uint8_t> bytes, std::size_t pieceSize,
                          Sha256Digest& digest) {
    if (pieceSize == 0) {
        return false;
    }
    UniqueHash hash;
    // The pseudo-handle needs no provider to be opened, and the hash object is
    // allocated by CNG itself.
    if (!BCRYPT_SUCCESS(
            BCryptCreateHash(BCRYPT_SHA256_ALG_HANDLE, hash.put(), nullptr, 0, nullptr, 0, 0))) {
        return false;
    }
    for (std::size_t offset = 0; offset < bytes.size();) {
        // Never more than the provider's 32-bit length can carry, whatever the caller asked.
        const std::size_t piece = std::min({pieceSize, kLargestPiece, bytes.size() - offset});
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), const_cast<PUCHAR>(bytes.data() + offset),
                                           static_cast<ULONG>(piece), 0))) {
            return false;
        }
        offset += piece;
    }
    return BCRYPT_SUCCESS(
        BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
}

}  // namespace detail

bool sha256Digest(std::span<const std::uint8_t> bytes, Sha256Digest& digest) {
    return detail::sha256DigestInPieces(bytes, kLargestPiece, digest);
}

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    Sha256Digest digest{};
    if (!sha256Digest(bytes, digest)) {
        return {};
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

}  // namespace zelk

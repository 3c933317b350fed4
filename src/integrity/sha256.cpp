#include "integrity/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <memory>
#include <exception>

#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif

namespace zelk {
namespace {

constexpr std::size_t kLargestPiece = 0x40000000;  // 1 GiB, well inside a ULONG

std::string Hex(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

bool AddInPieces(BCRYPT_HASH_HANDLE hash, std::span<const std::uint8_t> bytes,
                 std::size_t pieceSize) {
    for (std::size_t offset = 0; offset < bytes.size();) {
        // Never more than the provider's 32-bit length can carry, whatever the caller asked.
        const std::size_t piece = std::min({pieceSize, kLargestPiece, bytes.size() - offset});
        if (!BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(bytes.data() + offset),
                                           static_cast<ULONG>(piece), 0))) {
            return false;
        }
        offset += piece;
    }
    return true;
}

}  // namespace

void HashHandleTraits::close(Type h) {
    BCryptDestroyHash(h);
}

Sha256Stream Sha256Begin() {
    Sha256Stream stream;
    // The pseudo-handle needs no provider to be opened, and the hash object is
    // allocated by CNG itself.
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCRYPT_SUCCESS(
            BCryptCreateHash(BCRYPT_SHA256_ALG_HANDLE, &hash, nullptr, 0, nullptr, 0, 0))) {
        stream.reset(hash);
    }
    return stream;
}

bool Sha256Add(const Sha256Stream& stream, std::span<const std::uint8_t> bytes) {
    return stream && AddInPieces(stream.get(), bytes, kLargestPiece);
}

bool Sha256AddFile(const Sha256Stream& stream, void* file, std::uint64_t bytes) {
    constexpr DWORD kPiece = 1u << 20;
    std::unique_ptr<std::uint8_t[]> buffer;
    try {
        buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kPiece);
    } catch (const std::exception&) {  // bad_alloc
        return false;
    }
    for (std::uint64_t done = 0; done < bytes;) {
        DWORD read = 0;
        const DWORD piece = static_cast<DWORD>(std::min<std::uint64_t>(kPiece, bytes - done));
        if (!ReadFile(file, buffer.get(), piece, &read, nullptr) || read == 0 ||
            !Sha256Add(stream, std::span<const std::uint8_t>(buffer.get(), read))) {
            return false;
        }
        done += read;
    }
    return true;
}

bool Sha256Finish(const Sha256Stream& stream, Sha256Digest& digest) {
    return stream && BCRYPT_SUCCESS(BCryptFinishHash(stream.get(), digest.data(),
                                                     static_cast<ULONG>(digest.size()), 0));
}

std::string Sha256FinishHex(const Sha256Stream& stream) {
    Sha256Digest digest{};
    if (!Sha256Finish(stream, digest)) {
        return {};
    }
    return Hex(digest);
}

namespace detail {

bool sha256DigestInPieces(std::span<const std::uint8_t> bytes, std::size_t pieceSize,
                          Sha256Digest& digest) {
    if (pieceSize == 0) {
        return false;
    }
    const Sha256Stream hash = Sha256Begin();
    return hash && AddInPieces(hash.get(), bytes, pieceSize) &&
           BCRYPT_SUCCESS(
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
    return Hex(digest);
}

}  // namespace zelk

#include "integrity/signature.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <array>
#include <cstring>
#include <limits>
#include <new>

#include "common/unique.h"
#include "integrity/built_in_keys.h"
#include "integrity/sha256.h"

namespace zelk {
namespace {

struct AlgorithmProviderTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static Type empty() { return nullptr; }
    static void close(Type h) { BCryptCloseAlgorithmProvider(h, 0); }
};
using UniqueAlgorithmProvider = Unique<AlgorithmProviderTraits>;

struct KeyHandleTraits {
    using Type = BCRYPT_KEY_HANDLE;
    static Type empty() { return nullptr; }
    static void close(Type h) { BCryptDestroyKey(h); }
};
using UniqueKey = Unique<KeyHandleTraits>;

// Only STATUS_SUCCESS counts: BCRYPT_SUCCESS would also let informational codes through,
// and a verification must never pass on anything but a plain "valid".
constexpr NTSTATUS kStatusSuccess = 0;

constexpr std::size_t kCoordinateSize = 32;
constexpr std::size_t kSignatureSize = 64;  // r || s, 32 bytes each, big-endian

}  // namespace

std::vector<std::uint8_t> decodeSignature(std::string_view text) {
    // A zero length would make CryptStringToBinaryA read up to a terminating zero that a
    // string_view does not promise, so empty text is refused here.
    if (text.empty() || text.size() > std::numeric_limits<DWORD>::max()) {
        return {};
    }
    const auto length = static_cast<DWORD>(text.size());
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                              nullptr) ||
        size == 0) {
        return {};
    }
    std::vector<std::uint8_t> bytes;
    try {
        bytes.resize(size);
    } catch (const std::bad_alloc&) {
        return {};
    }
    if (!CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, bytes.data(), &size,
                              nullptr, nullptr)) {
        return {};
    }
    bytes.resize(size);
    return bytes;
}

bool verifyManifestSignature(std::span<const std::uint8_t> manifest,
                             std::span<const std::uint8_t> signature) {
    // A DER signature or anything else of the wrong size is refused before any work.
    if (signature.size() != kSignatureSize) {
        return false;
    }
    Sha256Digest digest{};
    if (!sha256Digest(manifest, digest)) {
        return false;
    }
    const auto attempt = [&](const std::array<std::uint8_t, 64>& key) {
        return verifyWithKey(
            std::span<const std::uint8_t, 32>(key.data(), kCoordinateSize),
            std::span<const std::uint8_t, 32>(key.data() + kCoordinateSize, kCoordinateSize),
            digest, signature);
    };
    return attempt(keys::kPrimaryPublicKey) || attempt(keys::kSecondaryPublicKey);
}

bool verifyWithKey(std::span<const std::uint8_t, 32> keyX, std::span<const std::uint8_t, 32> keyY,
                   std::span<const std::uint8_t, 32> digest,
                   std::span<const std::uint8_t> signature) {
    if (signature.size() != kSignatureSize) {
        return false;
    }
    UniqueAlgorithmProvider provider;
    if (BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) !=
        kStatusSuccess) {
        return false;
    }

    // ECCPUBLICBLOB for P-256, 72 bytes:
    //   offset 0  ULONG magic "ECS1" (BCRYPT_ECDSA_PUBLIC_P256_MAGIC), little-endian
    //   offset 4  ULONG cbKey = 32
    //   offset 8  X, 32 bytes big-endian
    //   offset 40 Y, 32 bytes big-endian
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinateSize};
    std::array<std::uint8_t, sizeof(header) + 2 * kCoordinateSize> blob{};
    static_assert(sizeof(blob) == 72);
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), keyX.data(), kCoordinateSize);
    std::memcpy(blob.data() + sizeof(header) + kCoordinateSize, keyY.data(), kCoordinateSize);

    // Declared after the provider, so the key is destroyed before the provider closes.
    UniqueKey key;
    if (BCryptImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(), blob.data(),
                            static_cast<ULONG>(blob.size()), 0) != kStatusSuccess ||
        !key) {
        return false;
    }
    return BCryptVerifySignature(key.get(), nullptr, const_cast<PUCHAR>(digest.data()),
                                 static_cast<ULONG>(digest.size()),
                                 const_cast<PUCHAR>(signature.data()),
                                 static_cast<ULONG>(signature.size()), 0) == kStatusSuccess;
}

}  // namespace zelk

#include "net/content.h"

#include "common/text.h"
#include "integrity/sha256.h"

namespace zelk {

bool downloadContent(const std::vector<std::wstring>& bases, const std::string& expectedDigest,
                     std::vector<std::uint8_t>& body, const ProgressCallback& progress,
                     std::uint64_t expectedSize, std::wstring* servedBy) {
    // The digest goes into the URL as it is: the manifest it came from is verified.
    const std::wstring suffix = L"/files/" + Utf8ToWide(expectedDigest);
    for (const std::wstring& base : bases) {
        // One attempt per server; the cap abandons an oversized body mid-transfer
        // and the exact size is allocated once.
        if (!httpGet(base + suffix, body, progress, expectedSize, expectedSize)) {
            continue;
        }
        // The size test comes first, so a short body costs no digest. A failed
        // hash is empty: never a match, even for an empty expected digest.
        if (body.size() == expectedSize) {
            const std::string digest = sha256Hex(body);
            if (!digest.empty() && digest == expectedDigest) {
                if (servedBy != nullptr) {
                    *servedBy = base;
                }
                return true;
            }
        }
    }
    return false;
}

}  // namespace zelk

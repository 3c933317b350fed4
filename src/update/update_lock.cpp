#include "update/update_lock.h"

#include <cstdint>
#include <span>
#include <vector>

#include "common/text.h"
#include "integrity/sha256.h"

namespace zelk {

std::wstring UpdateLockName(const std::filesystem::path& root) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFullPathNameW(root.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            full = root.native();
            break;
        }
        if (length < full.size()) {
            full.resize(length);
            break;
        }
        full.resize(length);  // too small: length counts the terminating zero
    }
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) {
        full.pop_back();
    }
    const std::wstring key = UpperCaseName(WithBackslashes(full));
    const std::string digest = sha256Hex(
        std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size() * sizeof(wchar_t)));
    // 128 bits of the digest name the folder well enough; a name stays short.
    return L"Local\\Zelk.Update." + Utf8ToWide(digest.substr(0, 32));
}

UniqueHeldMutex TakeUpdateLock(const std::wstring& name, DWORD waitMs,
                               const std::function<void()>& waiting) {
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!mutex) {
        return {};
    }
    DWORD waited = WaitForSingleObject(mutex.get(), 0);
    if (waited == WAIT_TIMEOUT && waitMs != 0) {
        if (waiting) {
            waiting();
        }
        waited = WaitForSingleObject(mutex.get(), waitMs);
    }
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        return {};
    }
    return UniqueHeldMutex(mutex.release());
}

}  // namespace zelk

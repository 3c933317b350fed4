#pragma once
// HKEY_CURRENT_USER redirected to a scratch key for the life of one object, so that the
// program's registry writes land where a test reads them, and nowhere else.

#include <windows.h>

#include <string>
#include <vector>

#include "common/win_handles.h"

namespace zelk::testing {

struct RegValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const RegValue&) const = default;
};

// REG_SZ as written: the characters and their terminating null.
inline RegValue Sz(const std::wstring& text) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return {true, REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

inline RegValue Dword(DWORD number) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&number);
    return {true, REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof(number))};
}

class ScratchUserHive {
public:
    ScratchUserHive() : name_(L"Software\\ZelkTests\\" + std::to_wstring(GetCurrentProcessId())) {
        ok_ = RegCreateKeyExW(HKEY_CURRENT_USER, name_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, scratch_.put(), nullptr) == ERROR_SUCCESS &&
              RegOverridePredefKey(HKEY_CURRENT_USER, scratch_.get()) == ERROR_SUCCESS;
    }
    ScratchUserHive(const ScratchUserHive&) = delete;
    ScratchUserHive& operator=(const ScratchUserHive&) = delete;
    ~ScratchUserHive() {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        scratch_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, name_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\ZelkTests");  // only once empty
    }

    bool ok() const { return ok_; }

    // Read straight from the scratch key, so a write that escaped the redirection is
    // not found here.
    RegValue Read(const wchar_t* subKey, const wchar_t* name) const {
        RegValue value;
        UniqueRegKey key;
        if (RegOpenKeyExW(scratch_.get(), subKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
            return value;
        }
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) !=
            ERROR_SUCCESS) {
            return value;
        }
        value.data.resize(size);
        if (RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(), &size) ==
            ERROR_SUCCESS) {
            value.data.resize(size);
            value.present = true;
        }
        return value;
    }

    bool HasKey(const wchar_t* subKey) const {
        UniqueRegKey key;
        return RegOpenKeyExW(scratch_.get(), subKey, 0, KEY_QUERY_VALUE, key.put()) ==
               ERROR_SUCCESS;
    }

private:
    std::wstring name_;
    UniqueRegKey scratch_;
    bool ok_ = false;
};

}  // namespace zelk::testing

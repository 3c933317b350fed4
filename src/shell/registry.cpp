#include "shell/registry.h"

#include <vector>

namespace zelk {

UniqueRegKey CreateUserKey(const wchar_t* subKey) {
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        key.reset();
    }
    return key;
}

bool SetRegistryString(HKEY key, const wchar_t* name, const std::wstring& data) {
    const size_t bytes = (data.size() + 1) * sizeof(wchar_t);
    return bytes <= MAXDWORD &&
           RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(bytes)) == ERROR_SUCCESS;
}

bool SetRegistryDword(HKEY key, const wchar_t* name, DWORD data) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof(data)) == ERROR_SUCCESS;
}

std::wstring ReadUserString(const wchar_t* subKey, const wchar_t* name) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return {};
    }
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    // The stored text need not end with its null: read it whole, then cut at the first.
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    DWORD read = size;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                         &read) != ERROR_SUCCESS) {
        return {};
    }
    return std::wstring(text.data());
}

bool DeleteUserKey(const wchar_t* subKey) {
    // Given a subkey, RegDeleteTreeW removes that key itself along with all below it.
    const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, subKey);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace zelk

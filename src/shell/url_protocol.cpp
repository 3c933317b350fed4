#include "shell/url_protocol.h"

#include <windows.h>

#include <exception>
#include <string>

#include "common/win_handles.h"

namespace zelk {
namespace {

constexpr wchar_t kProtocolKey[] = L"Software\\Classes\\zelk";
constexpr wchar_t kIconKey[] = L"Software\\Classes\\zelk\\DefaultIcon";
constexpr wchar_t kCommandKey[] = L"Software\\Classes\\zelk\\shell\\open\\command";

// One REG_SZ under HKCU; a failure leaves this value for the next run.
void SetString(const wchar_t* subKey, const wchar_t* valueName, const std::wstring& data) {
    // The size counts the terminating null, so even the empty string is 2 bytes.
    const size_t bytes = (data.size() + 1) * sizeof(wchar_t);
    if (bytes > MAXDWORD) {
        return;
    }
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExW(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>(bytes));
}

}  // namespace

void RegisterUrlProtocol(const std::filesystem::path& exePath) {
    try {
        const std::wstring quoted = L"\"" + exePath.native() + L"\"";
        SetString(kProtocolKey, nullptr, L"URL:Zelk");
        SetString(kProtocolKey, L"URL Protocol", L"");
        SetString(kIconKey, nullptr, quoted + L",0");
        // Windows passes the clicked link as the only, quoted argument.
        SetString(kCommandKey, nullptr, quoted + L" \"%1\"");
    } catch (const std::exception&) {
        // Out of memory: the registration is completed by the next run.
    }
}

}  // namespace zelk

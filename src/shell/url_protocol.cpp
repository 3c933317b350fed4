#include "shell/url_protocol.h"

#include <windows.h>

#include <exception>
#include <string>

#include "common/text.h"
#include "common/win_handles.h"
#include "shell/registry.h"

namespace zelk {
namespace {

constexpr wchar_t kProtocolKey[] = L"Software\\Classes\\zelk";
constexpr wchar_t kIconKey[] = L"Software\\Classes\\zelk\\DefaultIcon";
constexpr wchar_t kCommandKey[] = L"Software\\Classes\\zelk\\shell\\open\\command";

// One REG_SZ under HKCU; a failure leaves this value for the next run.
void SetString(const wchar_t* subKey, const wchar_t* valueName, const std::wstring& data) {
    const UniqueRegKey key = CreateUserKey(subKey);
    if (key) {
        SetRegistryString(key.get(), valueName, data);
    }
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

bool UnregisterUrlProtocol(const std::filesystem::path& exePath) {
    try {
        const std::wstring command = ReadUserString(kCommandKey, nullptr);
        const size_t end = command.find(L'"', 1);
        if (command.empty() || command.front() != L'"' || end == std::wstring::npos) {
            return true;  // none, or not one of ours
        }
        if (!SamePathText(std::wstring_view(command).substr(1, end - 1), exePath.native())) {
            return true;
        }
        return DeleteUserKey(kProtocolKey);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace zelk

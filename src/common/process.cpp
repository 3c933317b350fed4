#include "common/process.h"

#include <windows.h>

#include "common/win_handles.h"

namespace zelk {

std::wstring Quoted(std::wstring_view text) {
    std::wstring quoted;
    quoted.reserve(text.size() + 2);
    quoted += L'"';
    quoted += text;
    quoted += L'"';
    return quoted;
}

bool StartProcess(const std::wstring& application, const std::wstring& commandLine,
                  const std::wstring& currentDirectory) {
    std::wstring writable = commandLine;  // CreateProcessW may write into it
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup,
                        &created)) {
        return false;
    }
    UniqueHandle thread(created.hThread);
    UniqueHandle process(created.hProcess);
    return true;
}

}  // namespace zelk

#include "common/process.h"

#include <windows.h>

#include "common/win_handles.h"

namespace zelk {

std::wstring Quoted(std::wstring_view text) {
    std::wstring quoted;
    quoted.reserve(text.size() + 2);
    quoted += L'"';
    size_t backslashes = 0;
    for (wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
        } else if (c == L'"') {
            // 2n + 1 backslashes and a quote read as n backslashes and the quote itself:
            // the n already written get n + 1 more.
            quoted.append(backslashes + 1, L'\\');
            backslashes = 0;
        } else {
            backslashes = 0;
        }
        quoted += c;
    }
    quoted.append(backslashes, L'\\');  // doubled before the closing quote
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

#include "common/process.h"

#include <windows.h>

#include <algorithm>

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

bool WaitForProcessEnd(unsigned long processId, unsigned long timeoutMs) {
    if (processId == 0 || processId == GetCurrentProcessId()) {
        return true;
    }
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return !process || WaitForSingleObject(process.get(), timeoutMs) != WAIT_TIMEOUT;
}

std::wstring OwnProgramPath() {
    // The longest path Windows has, "\\?\" form included.
    constexpr DWORD kLongestPath = 32768;
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        // Cut at the buffer's end: a larger one, up to the longest path there is.
        if (path.size() >= kLongestPath) {
            return {};
        }
        path.resize(std::min<std::size_t>(path.size() * 2, kLongestPath));
    }
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

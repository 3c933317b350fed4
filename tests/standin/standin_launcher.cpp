// A stand-in for ZelkLauncher.exe, for tests and demos: it does what the
// bootstrapper can observe of the real launcher and nothing else.
//
// - It holds the named mutex "Local\Zelk.Launcher" while it runs.
// - It appends one record per start to a record file: one line of UTF-8 made of
//   its full command line (GetCommandLineW, as received), a tab, its current
//   directory, and a line feed. The file is ZELK_STANDIN_RECORD when that
//   variable is set, else "standin-record.txt" beside this executable.
// - It then stays alive for ZELK_STANDIN_LINGER_MS milliseconds (default 0).
//
// Exit code 0 when the record was written, 1 when it was not.

#include <windows.h>

#include <string>

#include "common/win_handles.h"

namespace {

std::wstring Environment(const wchar_t* name) {
    std::wstring value(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length =
            GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            return {};  // unset or empty
        }
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length);  // too small: length counts the terminating null
    }
}

std::wstring OwnFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring CurrentDirectory() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) {
        return {};
    }
    std::wstring dir(needed, L'\0');
    const DWORD length = GetCurrentDirectoryW(needed, dir.data());
    dir.resize(length < needed ? length : 0);
    return dir;
}

std::string ToUtf8(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int size = static_cast<int>(wide.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(needed > 0 ? needed : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), needed, nullptr, nullptr);
    return utf8;
}

unsigned long LingerMilliseconds() {
    const std::wstring text = Environment(L"ZELK_STANDIN_LINGER_MS");
    unsigned long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9' || value > 600000) {
            break;  // digits only, at most ten minutes or so
        }
        value = value * 10 + static_cast<unsigned long>(c - L'0');
    }
    return value;
}

bool AppendRecord() {
    std::wstring path = Environment(L"ZELK_STANDIN_RECORD");
    if (path.empty()) {
        path = OwnFolder() + L"standin-record.txt";
    }
    const std::string record = ToUtf8(GetCommandLineW()) + "\t" + ToUtf8(CurrentDirectory()) + "\n";
    // Append-only access puts every write at the end, so starts that overlap
    // add whole lines instead of overwriting each other.
    zelk::UniqueFile file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    DWORD written = 0;
    return WriteFile(file.get(), record.data(), static_cast<DWORD>(record.size()), &written,
                     nullptr) &&
           written == record.size();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Taken before the record is written: whoever sees the record sees the mutex too.
    zelk::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, L"Local\\Zelk.Launcher"));
    const bool recorded = AppendRecord();
    if (const unsigned long linger = LingerMilliseconds(); linger > 0) {
        Sleep(linger);
    }
    return recorded ? 0 : 1;
}

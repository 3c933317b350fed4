#include "shell/launcher.h"

#include <windows.h>
#include <tlhelp32.h>

#include <exception>
#include <string>
#include <string_view>

#include "app/launch_options.h"
#include "common/ascii.h"
#include "common/process.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "install/paths.h"
#include "shell/shortcuts.h"

namespace zelk {
namespace {

constexpr wchar_t kLauncherName[] = L"ZelkLauncher.exe";
constexpr wchar_t kLauncherMutex[] = L"Local\\Zelk.Launcher";

std::wstring_view FileNamePart(std::wstring_view path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

bool Start(const std::filesystem::path& appDir) {
    const std::filesystem::path exe = appDir / kLauncherName;
    // Any error other than absence counts as absence too: a launcher that cannot
    // be seen cannot be started either.
    if (!PathExists(exe)) {
        return false;
    }
    RefreshShortcutIcons(appDir);

    std::wstring commandLine = Quoted(exe.native());
    if (!LaunchUrl.empty()) {
        // The entry point accepts only links without a double quote.
        commandLine += L" " + Quoted(LaunchUrl);
    }
    // The launcher lives on its own: nothing waits for it or keeps its handles.
    return StartProcess(exe.native(), commandLine, appDir.native());
}

}  // namespace

bool StartLauncher(const std::filesystem::path& appDir) {
    try {
        return Start(appDir);
    } catch (const std::exception&) {
        return false;  // out of memory building a path: not started
    }
}

int LaunchExitCode(const std::filesystem::path& appDir, int overrideCode) {
    if (HasExplicitRoot()) {
        return overrideCode;  // the bench never starts the launcher
    }
    return StartLauncher(appDir) ? 0 : 2;
}

bool IsProcessRunning(const std::wstring& exeName) {
    // Failure is INVALID_HANDLE_VALUE, not null: test before handing it to the owner.
    const HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (raw == INVALID_HANDLE_VALUE || raw == nullptr) {
        return false;
    }
    UniqueHandle snapshot(raw);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (EqualsIgnoringAsciiCase(FileNamePart(entry.szExeFile), exeName)) {
            return true;
        }
    }
    return false;
}

bool IsLauncherRunning() {
    UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kLauncherMutex));
    // A mutex we may not open still exists: a launcher started with other
    // rights is running all the same.
    return mutex || GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace zelk

#include "shell_test_support.h"

#include <shlobj.h>
#include <shobjidl.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "common/win_handles.h"

namespace zelk::test {

ShortcutInfo ReadShortcut(const std::filesystem::path& lnkPath) {
    ShortcutInfo info;
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.put())))) {
        return info;
    }
    ComPtr<IPersistFile> persist;
    if (FAILED(link.get()->QueryInterface(IID_IPersistFile,
                                          reinterpret_cast<void**>(persist.put()))) ||
        FAILED(persist.get()->Load(lnkPath.c_str(), STGM_READ))) {
        return info;
    }
    wchar_t buffer[MAX_PATH] = {};
    link.get()->GetPath(buffer, MAX_PATH, nullptr, 0);
    info.target = buffer;
    buffer[0] = L'\0';
    link.get()->GetWorkingDirectory(buffer, MAX_PATH);
    info.workingDirectory = buffer;
    buffer[0] = L'\0';
    link.get()->GetDescription(buffer, MAX_PATH);
    info.description = buffer;
    buffer[0] = L'\0';
    link.get()->GetIconLocation(buffer, MAX_PATH, &info.iconIndex);
    info.iconPath = buffer;
    info.loaded = true;
    return info;
}

bool WriteShortcut(const std::filesystem::path& lnkPath, const std::filesystem::path& target,
                   const std::filesystem::path& iconPath, int iconIndex) {
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.put())))) {
        return false;
    }
    if (!target.empty()) {
        link.get()->SetPath(target.c_str());
    }
    link.get()->SetDescription(L"test shortcut");
    if (!iconPath.empty()) {
        link.get()->SetIconLocation(iconPath.c_str(), iconIndex);
    }
    ComPtr<IPersistFile> persist;
    return SUCCEEDED(link.get()->QueryInterface(IID_IPersistFile,
                                                reinterpret_cast<void**>(persist.put()))) &&
           SUCCEEDED(persist.get()->Save(lnkPath.c_str(), TRUE));
}

std::filesystem::path StandinLauncher() {
    wchar_t buffer[4096] = {};
    const DWORD length = GetEnvironmentVariableW(L"ZELK_STANDIN_LAUNCHER", buffer, 4096);
    if (length == 0 || length >= 4096) {
        return {};
    }
    std::wstring path(buffer, length);
    // ctest hands over the Unix path; Wine shows the Unix root as drive Z:.
    if (path.front() == L'/') {
        path.insert(0, L"Z:");
    }
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

std::string WaitForLines(const std::filesystem::path& path, size_t lines,
                         std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string content;
    for (;;) {
        content = ReadBytes(path);
        size_t count = 0;
        for (char c : content) {
            count += c == '\n' ? 1 : 0;
        }
        if ((content != "<missing>" && count >= lines) ||
            std::chrono::steady_clock::now() > deadline) {
            return content;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
    wchar_t buffer[4096] = {};
    const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    if (length > 0 && length < 4096) {
        previous_.assign(buffer, length);
        hadPrevious_ = true;
    }
    SetEnvironmentVariableW(name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
    SetEnvironmentVariableW(name_.c_str(), hadPrevious_ ? previous_.c_str() : nullptr);
}

}  // namespace zelk::test

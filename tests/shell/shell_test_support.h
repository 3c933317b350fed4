#pragma once
// Scratch folders, shortcut reading and the stand-in launcher for the shell tests.

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "support/scratch.h"

namespace zelk::test {

using testing::MakeScratchFolder;
using testing::ReadBytes;
using testing::RemoveTree;
using testing::WriteBytes;

struct ShortcutInfo {
    bool loaded = false;
    std::wstring target;
    std::wstring workingDirectory;
    std::wstring description;
    std::wstring iconPath;
    int iconIndex = -1;
};
ShortcutInfo ReadShortcut(const std::filesystem::path& lnkPath);

// Saves a shortcut through the shell link object; an empty target leaves it unset.
bool WriteShortcut(const std::filesystem::path& lnkPath, const std::filesystem::path& target,
                   const std::filesystem::path& iconPath, int iconIndex);

// The stand-in launcher built beside the tests (ZELK_STANDIN_LAUNCHER), as a
// Windows path; empty when the variable is missing.
std::filesystem::path StandinLauncher();

// Waits until the file holds at least `lines` complete lines and returns its
// content, or returns what is there once the time is up.
std::string WaitForLines(const std::filesystem::path& path, size_t lines,
                         std::chrono::milliseconds limit = std::chrono::seconds(20));

// Sets (or with nullptr removes) a variable of this process's environment, which
// the processes it starts inherit; restores the previous value when it goes.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value);
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment();

private:
    std::wstring name_;
    std::wstring previous_;
    bool hadPrevious_ = false;
};

}  // namespace zelk::test

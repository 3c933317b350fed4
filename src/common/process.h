#pragma once
// Starting another program that lives on by itself: the launcher, the folder
// rename copy, or the freshly replaced bootstrapper.

#include <string>
#include <string_view>

namespace zelk {

// text between double quotes, as one command-line argument. The texts quoted here
// (paths, and links already checked to hold no double quote) need no escaping.
std::wstring Quoted(std::wstring_view text);

// CreateProcessW with no inherited handles, the caller's environment and the default
// window state; the new process is neither waited for nor watched.
bool StartProcess(const std::wstring& application, const std::wstring& commandLine,
                  const std::wstring& currentDirectory);

}  // namespace zelk

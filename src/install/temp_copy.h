#pragma once
// Copies of Zelk.exe that run from the temporary folder once the installed one has
// ended (the folder rename, the last step of an uninstall). Each copy gets a new folder
// of its own, named with 128 random bits: no one can put a DLL beside it or swap it
// ahead of time, as anyone could for a fixed name in a folder that all programs share.
// The folder goes once the copy has ended.

#include <filesystem>
#include <string>
#include <string_view>

namespace zelk {

// The user's temporary folder (GetTempPathW), or empty.
std::filesystem::path UserTempFolder();

// Copies source as fileName into a new folder "Zelk-" + 32 random hexadecimal digits
// under the temporary folder. The copy's path, or empty when it could not be made (the
// folder is then removed again).
std::filesystem::path CopyToFreshTempFolder(const std::filesystem::path& source,
                                            std::wstring_view fileName);

// Copies source as fileName into a fresh folder (CopyToFreshTempFolder) and starts the
// copy with arguments, in the temporary folder. True when it started; else the folder
// is removed again.
bool StartFreshTempCopy(const std::filesystem::path& source, std::wstring_view fileName,
                        const std::wstring& arguments);

// Whether folder is one that CopyToFreshTempFolder makes: directly under the temporary
// folder, with such a name. Nothing else may be removed by RemoveFolderAfterExit.
bool IsFreshTempFolder(const std::filesystem::path& folder);

// Has folder removed once this process has ended: a running program cannot delete its
// own file. The system's cmd.exe waits for a pipe that this process holds open until it
// ends, then removes the folder, retrying for about 20 s while the image is still being
// released. Call it last; true when the remover was started.
bool RemoveFolderAfterExit(const std::filesystem::path& folder);

}  // namespace zelk

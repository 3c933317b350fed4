#pragma once
// Process-wide launch options: written while the command line is read, before any
// worker exists, and only read afterwards.

#include <string>

namespace zelk {

// Held by the normal mode (and the render test) while it runs: a second instance waits
// a moment, then goes on (its update waits for the first one's: update/update_lock.h).
inline constexpr wchar_t kInstanceMutex[] = L"Local\\Zelk.Bootstrapper";

extern std::wstring LaunchUrl;         // a zelk:// link to hand on to the launcher
extern std::wstring DataRootOverride;  // bench: replaces the per-user data root
extern std::wstring BaseUrlOverride;   // bench: the only update server
extern bool AfterRename;               // restarted by the folder rename: never hand off again

}  // namespace zelk

#pragma once
// One update at a time per data root. Two updates of one installation would fetch the
// same contents into the same partial files and undo each other's work; a double-click
// or a zelk:// link clicked while Zelk updates must wait for the running update instead.
// The lock is a named mutex of the user's session, named after the data root, so that
// the normal mode, the bench and the uninstall of one data root share it, and a mutex
// left by a process that ended (even killed) is free again.

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>

#include "common/win_handles.h"

namespace zelk {

// How long a second update waits for the first: the manifest's 60 s deadline and the
// low-speed rule of a transfer bound every stall of the first update, and five minutes
// let a large download end on an ordinary connection.
inline constexpr DWORD kUpdateLockWaitMs = 5 * 60 * 1000;

// "Local\Zelk.Update." and a digest of root's full path, letter case aside: the same
// name for every spelling of the same folder that Windows would resolve alike.
std::wstring UpdateLockName(const std::filesystem::path& root);

// Takes the named lock, waiting at most waitMs; waiting is called once first when
// another process holds it. Empty when the wait ended without it. A lock left by a
// process that ended without releasing it is taken at once.
UniqueHeldMutex TakeUpdateLock(const std::wstring& name, DWORD waitMs,
                               const std::function<void()>& waiting = {});

}  // namespace zelk

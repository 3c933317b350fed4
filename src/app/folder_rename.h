#pragma once

#include <windows.h>

namespace zelk {

// Run by a temporary copy of the program: waits for the installed copy to end,
// gives the data root its exact name "Zelk" and starts the installed copy again.
// 0 when it was started, 2 otherwise.
int RunFolderRename(DWORD processId);

}  // namespace zelk

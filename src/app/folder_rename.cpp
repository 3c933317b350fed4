#include "app/folder_rename.h"

namespace zelk {

int RunFolderRename(DWORD /*processId*/) { return 2; }

}  // namespace zelk

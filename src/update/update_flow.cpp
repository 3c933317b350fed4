#include "update/update_flow.h"

namespace zelk {

int RunUpdateFlow(const std::wstring& /*programPath*/) { return kLauncherStarted; }

}  // namespace zelk

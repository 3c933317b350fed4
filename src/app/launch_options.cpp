#include "app/launch_options.h"

namespace zelk {

std::wstring LaunchUrl;
std::wstring DataRootOverride;
std::wstring BaseUrlOverride;
bool AfterRename = false;

}  // namespace zelk

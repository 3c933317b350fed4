#include "splash/bench.h"

#include "app/launch_options.h"

namespace zelk {

int RunBench(const std::wstring& dataRoot, const std::wstring& baseUrl) {
    DataRootOverride = dataRoot;
    BaseUrlOverride = baseUrl;
    return 12;
}

}  // namespace zelk

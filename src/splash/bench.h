#pragma once

#include <string>

namespace zelk {

// Runs the whole update without a window against the given data root and server,
// writes "banc.txt" there and returns the flow's result.
int RunBench(const std::wstring& dataRoot, const std::wstring& baseUrl);

}  // namespace zelk

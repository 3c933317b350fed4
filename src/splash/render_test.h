#pragma once

#include <string>

namespace zelk {

// Draws one frame for the given status into a PNG file. 0 when written, else 1.
int RunRenderTest(const std::wstring& outputPath, double progress, const std::wstring& heading,
                  const std::wstring& detail);

}  // namespace zelk

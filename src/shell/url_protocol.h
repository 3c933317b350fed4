#pragma once

#include <filesystem>

namespace zelk {

// Registers zelk:// for the current user with exePath as its handler.
void RegisterUrlProtocol(const std::filesystem::path& exePath);

}  // namespace zelk

#pragma once

#include <filesystem>

namespace zelk {

// Registers zelk:// for the current user with exePath as its handler.
void RegisterUrlProtocol(const std::filesystem::path& exePath);

// Removes the zelk:// registration, but only while its command still starts exePath
// (letter case aside): another installation may have taken the protocol over since.
// False when a registration of exePath is still there.
bool UnregisterUrlProtocol(const std::filesystem::path& exePath);

}  // namespace zelk

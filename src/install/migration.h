#pragma once

#include <filesystem>

namespace zelk {

// Moves an installation of the older flat layout into the current one, never
// overwriting; returns the number of items moved.
int MigrateDataFolder(const std::filesystem::path& root);

}  // namespace zelk

#include "install/migration.h"

namespace zelk {

int MigrateDataFolder(const std::filesystem::path& /*root*/) { return 0; }

}  // namespace zelk

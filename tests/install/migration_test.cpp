#include "install/migration.h"

#include <gtest/gtest.h>

#include "install/paths.h"
#include "support/scratch.h"

namespace zelk {
namespace {

using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;
namespace fs = std::filesystem;

TEST(Migration, LegacyLayoutMovesIntoTheNewOne) {
    ScratchDir root;
    const InstallPaths paths = MakeInstallPaths(root.path());
    WriteBytes(root / L"app" / L"ZelkLauncher.exe", "launcher");
    WriteBytes(root / L"launcher-settings.json", "{}");
    WriteBytes(root / L"identite.key", "key");
    WriteBytes(root / L"zelk.ico", "icon");
    WriteBytes(root / L"launcher.log", "log");
    WriteBytes(root / L"notes.txt", "notes");

    EXPECT_EQ(MigrateDataFolder(root.path()), 6);
    EXPECT_EQ(ReadBytes(paths.appDir / L"ZelkLauncher.exe"), "launcher");
    EXPECT_EQ(ReadBytes(paths.dataDir / L"launcher-settings.json"), "{}");
    EXPECT_EQ(ReadBytes(paths.dataDir / L"identite.key"), "key");
    EXPECT_EQ(ReadBytes(paths.dataDir / L"zelk.ico"), "icon");
    EXPECT_EQ(ReadBytes(paths.logsDir / L"launcher.log"), "log");
    EXPECT_EQ(ReadBytes(paths.diversDir / L"notes.txt"), "notes");
    for (const wchar_t* gone : {L"app", L"launcher-settings.json", L"notes.txt", L"launcher.log"}) {
        EXPECT_FALSE(fs::exists(root / gone)) << gone;
    }
    EXPECT_EQ(MigrateDataFolder(root.path()), 0);  // nothing left to move
}

TEST(Migration, EmptyRootGetsTheFoldersButNoDivers) {
    ScratchDir root;
    const InstallPaths paths = MakeInstallPaths(root.path());
    EXPECT_EQ(MigrateDataFolder(root.path()), 0);
    for (const fs::path* folder :
         {&paths.dataDir, &paths.logsDir, &paths.crashesDir, &paths.cacheDir}) {
        EXPECT_TRUE(fs::is_directory(*folder)) << folder->string();
    }
    EXPECT_FALSE(fs::exists(paths.diversDir));
    EXPECT_FALSE(fs::exists(paths.appDir));
}

TEST(Migration, BootstrapperFilesStayInAnyLetterCase) {
    ScratchDir root;
    WriteBytes(root / L"zelk.EXE", "exe");
    WriteBytes(root / L"Zelk.exe.old", "old");
    EXPECT_EQ(MigrateDataFolder(root.path()), 0);
    EXPECT_EQ(ReadBytes(root / L"zelk.EXE"), "exe");
    EXPECT_EQ(ReadBytes(root / L"Zelk.exe.old"), "old");
}

TEST(Migration, LogFilesByTheirLastFourCharacters) {
    ScratchDir root;
    const InstallPaths paths = MakeInstallPaths(root.path());
    for (const wchar_t* name : {L"CRASH.LOG", L".log", L"x.log.bak", L"a.Log"}) {
        WriteBytes(root / name, "x");
    }
    EXPECT_EQ(MigrateDataFolder(root.path()), 4);
    EXPECT_TRUE(fs::exists(paths.logsDir / L"CRASH.LOG"));
    EXPECT_TRUE(fs::exists(paths.logsDir / L"a.Log"));
    EXPECT_TRUE(fs::exists(paths.diversDir / L".log"));
    EXPECT_TRUE(fs::exists(paths.diversDir / L"x.log.bak"));
}

TEST(Migration, ExistingDestinationsAreNeverOverwritten) {
    ScratchDir root;
    const InstallPaths paths = MakeInstallPaths(root.path());
    WriteBytes(root / L"launcher-settings.json", "root copy");
    WriteBytes(paths.dataDir / L"launcher-settings.json", "current");
    WriteBytes(root / L"app" / L"old.exe", "legacy");
    WriteBytes(paths.appDir / L"new.exe", "current app");

    // The root's settings move on to "divers"; the legacy app folder stays.
    EXPECT_EQ(MigrateDataFolder(root.path()), 1);
    EXPECT_EQ(ReadBytes(paths.dataDir / L"launcher-settings.json"), "current");
    EXPECT_EQ(ReadBytes(paths.diversDir / L"launcher-settings.json"), "root copy");
    EXPECT_EQ(ReadBytes(root / L"app" / L"old.exe"), "legacy");
    EXPECT_FALSE(fs::exists(paths.appDir / L"old.exe"));

    WriteBytes(root / L"launcher-settings.json", "third");
    EXPECT_EQ(MigrateDataFolder(root.path()), 0);
    EXPECT_EQ(ReadBytes(root / L"launcher-settings.json"), "third");
}

TEST(Migration, FoldersStayUnlessTheyBearADataFileName) {
    ScratchDir root;
    const InstallPaths paths = MakeInstallPaths(root.path());
    WriteBytes(root / L"screenshots" / L"a.png", "png");
    WriteBytes(root / L"exec.lua" / L"inside.txt", "odd");
    EXPECT_EQ(MigrateDataFolder(root.path()), 1);
    EXPECT_TRUE(fs::exists(root / L"screenshots" / L"a.png"));
    EXPECT_TRUE(fs::exists(paths.dataDir / L"exec.lua" / L"inside.txt"));
}

TEST(Migration, MissingRootMovesNothing) {
    ScratchDir dir;
    EXPECT_EQ(MigrateDataFolder(dir / L"no" / L"such" / L"root"), 0);
}

}  // namespace
}  // namespace zelk

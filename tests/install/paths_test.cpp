#include "install/paths.h"

#include <gtest/gtest.h>

#include "app/launch_options.h"
#include "support/scratch.h"

namespace zelk {
namespace {

class DataRoot : public ::testing::Test {
protected:
    void TearDown() override { DataRootOverride.clear(); }
};

TEST_F(DataRoot, DefaultsToLocalAppDataWithZelkAppended) {
    const std::filesystem::path local = KnownFolderPath(FOLDERID_LocalAppData);
    ASSERT_FALSE(local.empty());
    EXPECT_FALSE(HasExplicitRoot());
    EXPECT_EQ(GetDataRoot().native(), local.native() + L"\\Zelk");
    EXPECT_EQ(MakeInstallPaths(GetDataRoot()).launcherExe.native(),
              local.native() + L"\\Zelk\\Zelk Application Data\\app\\ZelkLauncher.exe");
}

TEST_F(DataRoot, OverrideIsUsedExactly) {
    DataRootOverride = L"D:\\bench\\";
    EXPECT_TRUE(HasExplicitRoot());
    EXPECT_EQ(GetDataRoot().native(), L"D:\\bench\\");
    EXPECT_EQ(MakeInstallPaths(GetDataRoot()).exePath.native(), L"D:\\bench\\Zelk.exe");
    DataRootOverride = L"D:";
    EXPECT_EQ(MakeInstallPaths(GetDataRoot()).exePath.native(), L"D:Zelk.exe");
}

TEST(InstallLayout, EveryFieldBelowTheRoot) {
    const InstallPaths p = MakeInstallPaths(L"C:\\U\\Zelk");
    const std::pair<const std::filesystem::path*, const wchar_t*> expected[] = {
        {&p.root, L"C:\\U\\Zelk"},
        {&p.exePath, L"C:\\U\\Zelk\\Zelk.exe"},
        {&p.oldExePath, L"C:\\U\\Zelk\\Zelk.exe.old"},
        {&p.appDataDir, L"C:\\U\\Zelk\\Zelk Application Data"},
        {&p.appDir, L"C:\\U\\Zelk\\Zelk Application Data\\app"},
        {&p.launcherExe, L"C:\\U\\Zelk\\Zelk Application Data\\app\\ZelkLauncher.exe"},
        {&p.appIcon, L"C:\\U\\Zelk\\Zelk Application Data\\app\\zelk.ico"},
        {&p.manifestMarker, L"C:\\U\\Zelk\\Zelk Application Data\\app\\.zelk-manifest"},
        {&p.installedMarker, L"C:\\U\\Zelk\\Zelk Application Data\\app\\.zelk-installed"},
        {&p.dataDir, L"C:\\U\\Zelk\\Zelk Application Data\\data"},
        {&p.settingsFile, L"C:\\U\\Zelk\\Zelk Application Data\\data\\launcher-settings.json"},
        {&p.iconsDir, L"C:\\U\\Zelk\\Zelk Application Data\\data\\icones"},
        {&p.logsDir, L"C:\\U\\Zelk\\Zelk Application Data\\logs"},
        {&p.diversDir, L"C:\\U\\Zelk\\Zelk Application Data\\divers"},
        {&p.crashesDir, L"C:\\U\\Zelk\\Zelk Application Data\\crashes"},
        {&p.cacheDir, L"C:\\U\\Zelk\\Zelk Application Data\\cache"},
    };
    for (const auto& [field, text] : expected) {
        EXPECT_EQ(field->native(), text);
    }
    EXPECT_EQ(MakeInstallPaths(L"").exePath.native(), L"Zelk.exe");
}

TEST(OnDiskName, ReportsTheStoredLetterCase) {
    testing::ScratchDir dir;
    std::filesystem::create_directories(dir / L"zelk");
    EXPECT_EQ(GetOnDiskName(dir / L"zelk"), L"zelk");
    EXPECT_EQ(GetOnDiskName(dir / L"ZELK"), L"zelk");
    EXPECT_EQ(GetOnDiskName(dir / L"missing"), L"");
}

}  // namespace
}  // namespace zelk

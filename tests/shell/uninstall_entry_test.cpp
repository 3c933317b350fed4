// The entry in "Installed apps": every value as Windows reads it, the size counted from
// Zelk.exe and the launcher's folder only, and its removal.

#include "shell/uninstall_entry.h"

#include <gtest/gtest.h>

#include <string>

#include "common/version.h"
#include "support/scratch.h"
#include "support/user_hive.h"

namespace zelk {
namespace {

using testing::Dword;
using testing::ScratchDir;
using testing::Sz;
using testing::WriteBytes;

class UninstallEntry : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(hive_.ok()); }
    testing::ScratchUserHive hive_;
};

TEST_F(UninstallEntry, EveryValueForTheInstalledCopy) {
    const std::wstring root = L"C:\\Users\\Zo\u00E9\\AppData\\Local\\Zelk";
    RegisterUninstallEntry(MakeInstallPaths(root));
    const std::wstring exe = root + L"\\Zelk.exe";
    const auto read = [this](const wchar_t* name) { return hive_.Read(kUninstallKey, name); };
    EXPECT_EQ(read(L"DisplayName"), Sz(L"Zelk"));
    EXPECT_EQ(read(L"DisplayIcon"), Sz(exe));
    EXPECT_EQ(read(L"DisplayVersion"), Sz(kZelkVersion));
    EXPECT_EQ(read(L"Publisher"), Sz(L"Zelk"));
    EXPECT_EQ(read(L"InstallLocation"), Sz(root));
    EXPECT_EQ(read(L"NoModify"), Dword(1));
    EXPECT_EQ(read(L"NoRepair"), Dword(1));
    EXPECT_EQ(read(L"UninstallString"), Sz(L"\"" + exe + L"\" --desinstaller"));
    EXPECT_EQ(read(L"QuietUninstallString"), Sz(L"\"" + exe + L"\" --desinstaller --silencieux"));
    EXPECT_FALSE(read(L"EstimatedSize").present);  // counted at the end of an update
}

TEST_F(UninstallEntry, SizeOfZelkExeAndTheLauncherFolderInKibRoundedUp) {
    ScratchDir root;
    const InstallPaths paths = MakeInstallPaths(root.path());
    ASSERT_TRUE(WriteBytes(paths.exePath, std::string(1000, 'z')));
    ASSERT_TRUE(WriteBytes(paths.appDir / L"ZelkLauncher.exe", std::string(2000, 'l')));
    ASSERT_TRUE(WriteBytes(paths.appDir / L"lib" / L"deep" / L"a.bin", std::string(49, 'a')));
    // The user's data is not part of what was installed.
    ASSERT_TRUE(WriteBytes(paths.dataDir / L"identite.key", std::string(100000, 'k')));
    RecordInstalledSize(paths);
    EXPECT_EQ(hive_.Read(kUninstallKey, L"EstimatedSize"), Dword(3));  // 3049 bytes

    ASSERT_TRUE(WriteBytes(paths.appDir / L"lib" / L"deep" / L"a.bin", std::string(72, 'a')));
    RecordInstalledSize(paths);
    EXPECT_EQ(hive_.Read(kUninstallKey, L"EstimatedSize"), Dword(3));  // exactly 3072

    RecordInstalledSize(MakeInstallPaths(root / L"nothing here"));
    EXPECT_EQ(hive_.Read(kUninstallKey, L"EstimatedSize"), Dword(0));
}

TEST_F(UninstallEntry, RemovedWholeAndGoneIsNoError) {
    RegisterUninstallEntry(MakeInstallPaths(L"C:\\Zelk"));
    ASSERT_TRUE(hive_.HasKey(kUninstallKey));
    EXPECT_TRUE(RemoveUninstallEntry());
    EXPECT_FALSE(hive_.HasKey(kUninstallKey));
    EXPECT_TRUE(hive_.HasKey(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"));
    EXPECT_TRUE(RemoveUninstallEntry());
}

}  // namespace
}  // namespace zelk

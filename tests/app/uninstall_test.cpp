// The uninstall on a scratch installation, with a scratch HKEY_CURRENT_USER and its
// question answered and its messages read through the setup's seams: what goes, what
// stays, what is refused, and how a second run finishes a partial one. The last step
// (the temporary copy removing Zelk.exe) is recorded here; the process tests run it.

#include "app/uninstall.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "shell/shell_test_support.h"
#include "common/win_handles.h"
#include "shell/uninstall_entry.h"
#include "shell/url_protocol.h"
#include "support/scratch.h"
#include "support/user_hive.h"
#include "update/update_lock.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

constexpr wchar_t kProtocolKey[] = L"Software\\Classes\\zelk";

class Uninstall : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(hive_.ok());
        paths_ = MakeInstallPaths(scratch_ / L"Zelk");
        for (const auto& [path, bytes] : Installation()) {
            ASSERT_TRUE(WriteBytes(path, bytes)) << path;
        }
        // The user's data: all of it stays unless --tout.
        for (const fs::path& path : UsersData()) {
            ASSERT_TRUE(WriteBytes(path, "kept")) << path;
        }
        desktop_ = scratch_ / L"Desktop" / L"Zelk.lnk";
        programs_ = scratch_ / L"Programs" / L"Zelk.lnk";
        other_ = scratch_ / L"Programs" / L"Other" / L"Zelk.lnk";
        for (const fs::path& shortcut : {desktop_, programs_, other_}) {
            fs::create_directories(shortcut.parent_path());
        }
        ASSERT_TRUE(test::WriteShortcut(desktop_, paths_.exePath, {}, 0));
        ASSERT_TRUE(test::WriteShortcut(programs_, paths_.launcherExe, {}, 0));
        ASSERT_TRUE(WriteBytes(scratch_ / L"Other.exe", "MZ"));
        ASSERT_TRUE(test::WriteShortcut(other_, scratch_ / L"Other.exe", {}, 0));
        RegisterUrlProtocol(paths_.exePath);
        RegisterUninstallEntry(paths_);

        setup_.paths = paths_;
        setup_.programPath = paths_.exePath;
        setup_.shortcuts = {desktop_, programs_, other_};
        setup_.updateLock = UpdateLockName(paths_.root);  // of this scratch root alone
        setup_.updateWaitMs = 200;
        setup_.launcherRunning = [this] { return launcherRunning_; };
        setup_.ask = [this](const std::wstring& question) {
            asked_.push_back(question);
            return answer_;
        };
        setup_.tell = [this](const std::wstring& message, bool problem) {
            told_.push_back(message);
            problems_.push_back(problem);
        };
        setup_.finish = [this](const InstallPaths& paths) {
            finished_.push_back(paths.exePath);
            return finishWorks_;
        };
    }

    std::vector<std::pair<fs::path, std::string>> Installation() const {
        return {
            {paths_.exePath, "MZ zelk"},
            {paths_.oldExePath, "MZ old zelk"},
            {paths_.launcherExe, "MZ launcher"},
            {paths_.installedMarker, "index"},
            {paths_.manifestMarker, "2025-06-01T00:00:00Z\r\n"},
            {paths_.appDir / L"lib" / L"x.dll", "library"},
            {paths_.iconsDir / L"zelk-0123abcd.ico", "icon copy"},
            {paths_.cacheDir / L"c.bin", "cache"},
            {paths_.crashesDir / L"d.dmp", "dump"},
        };
    }

    std::vector<fs::path> UsersData() const {
        return {paths_.settingsFile, paths_.dataDir / L"identite.key",
                paths_.logsDir / L"launcher.log", paths_.diversDir / L"notes.txt"};
    }

    // The installation as SetUp made it, apart from the shortcuts and the registry.
    void ExpectUntouched() {
        for (const auto& [path, bytes] : Installation()) {
            EXPECT_EQ(ReadBytes(path), bytes) << path;
        }
        EXPECT_TRUE(fs::exists(desktop_));
        EXPECT_TRUE(fs::exists(programs_));
        EXPECT_TRUE(hive_.HasKey(kProtocolKey));
        EXPECT_TRUE(hive_.HasKey(kUninstallKey));
        EXPECT_TRUE(finished_.empty());
    }

    void ExpectUsersDataKept() {
        for (const fs::path& path : UsersData()) {
            EXPECT_EQ(ReadBytes(path), "kept") << path;
        }
    }

    testing::ScratchUserHive hive_;
    ComApartment com_;
    ScratchDir scratch_;
    InstallPaths paths_;
    fs::path desktop_, programs_, other_;
    UninstallSetup setup_;
    bool launcherRunning_ = false;
    bool answer_ = true;
    bool finishWorks_ = true;
    std::vector<std::wstring> asked_, told_;
    std::vector<bool> problems_;
    std::vector<fs::path> finished_;
};

TEST_F(Uninstall, NonAtTheQuestionChangesNothing) {
    answer_ = false;
    EXPECT_EQ(RunUninstall({}, setup_), kUninstallDeclined);
    EXPECT_EQ(asked_, std::vector<std::wstring>{L"Désinstaller Zelk ?"});
    EXPECT_TRUE(told_.empty());
    ExpectUntouched();
    ExpectUsersDataKept();
}

TEST_F(Uninstall, OuiRemovesWhatWasInstalledAndKeepsTheUsersData) {
    EXPECT_EQ(RunUninstall({}, setup_), kUninstalled);
    EXPECT_EQ(asked_.size(), 1u);
    for (const fs::path& gone : {paths_.appDir, paths_.iconsDir, paths_.cacheDir, paths_.crashesDir,
                                 paths_.oldExePath, desktop_, programs_}) {
        EXPECT_FALSE(fs::exists(gone)) << gone;
    }
    EXPECT_TRUE(fs::exists(other_));  // points at another program
    EXPECT_FALSE(hive_.HasKey(kProtocolKey));
    ExpectUsersDataKept();
    // Zelk.exe and its entry go last, through the temporary copy.
    EXPECT_EQ(finished_, std::vector<fs::path>{paths_.exePath});
    ASSERT_EQ(told_.size(), 1u);
    EXPECT_FALSE(problems_[0]);
    EXPECT_EQ(told_[0],
              L"Zelk est désinstallé.\n\nTes paramètres, ton identité et tes journaux "
              L"sont conservés dans :\n" +
                  paths_.appDataDir.native());
}

TEST_F(Uninstall, SilentlyWithEverythingLeavesOnlyZelkExeForItsLastStep) {
    EXPECT_EQ(RunUninstall({.silent = true, .everything = true}, setup_), kUninstalled);
    EXPECT_TRUE(asked_.empty());
    EXPECT_TRUE(told_.empty());
    std::vector<fs::path> remaining;
    for (const auto& entry : fs::directory_iterator(paths_.root)) {
        remaining.push_back(entry.path());
    }
    EXPECT_EQ(remaining, std::vector<fs::path>{paths_.exePath});
    EXPECT_EQ(finished_.size(), 1u);
}

TEST_F(Uninstall, AnotherInstallationsProtocolStays) {
    RegisterUrlProtocol(scratch_ / L"Elsewhere" / L"Zelk.exe");
    EXPECT_EQ(RunUninstall({.silent = true}, setup_), kUninstalled);
    EXPECT_TRUE(hive_.HasKey(kProtocolKey));
}

TEST_F(Uninstall, WhileTheLauncherRunsNothingChanges) {
    launcherRunning_ = true;
    EXPECT_EQ(RunUninstall({}, setup_), kUninstallFailed);
    EXPECT_TRUE(asked_.empty());
    EXPECT_EQ(told_,
              std::vector<std::wstring>{L"Ferme le launcher puis relance la désinstallation."});
    EXPECT_EQ(problems_, std::vector<bool>{true});
    ExpectUntouched();

    told_.clear();
    EXPECT_EQ(RunUninstall({.silent = true}, setup_), kUninstallFailed);
    EXPECT_TRUE(told_.empty());  // silent: the exit code alone tells
    ExpectUntouched();
}

TEST_F(Uninstall, AnUpdateInProgressHoldsItBack) {
    HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr),
           release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UniqueHandle takenOwner(taken), releaseOwner(release);
    std::thread update([&] {
        UniqueHandle instance(CreateMutexW(nullptr, TRUE, setup_.updateLock.c_str()));
        SetEvent(taken);
        WaitForSingleObject(release, INFINITE);
        ReleaseMutex(instance.get());
    });
    WaitForSingleObject(taken, INFINITE);
    EXPECT_EQ(RunUninstall({}, setup_), kUninstallFailed);
    SetEvent(release);
    update.join();
    EXPECT_TRUE(asked_.empty());
    ASSERT_EQ(told_.size(), 1u);
    EXPECT_NE(told_[0].find(L"relance la désinstallation dans un instant"), std::wstring::npos);
    ExpectUntouched();

    // Once the update has ended, the uninstall goes ahead.
    EXPECT_EQ(RunUninstall({.silent = true}, setup_), kUninstalled);
}

TEST_F(Uninstall, AFileInUseIsListedAndASecondRunFinishes) {
    const fs::path held = paths_.appDir / L"lib" / L"x.dll";
    UniqueFile holder(CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_EQ(RunUninstall({}, setup_), kUninstallFailed);
    ASSERT_EQ(told_.size(), 1u);
    EXPECT_TRUE(problems_[0]);
    EXPECT_NE(told_[0].find(L"Désinstallation incomplète"), std::wstring::npos);
    EXPECT_NE(told_[0].find(held.native()), std::wstring::npos);
    EXPECT_NE(told_[0].find(L"relance la désinstallation"), std::wstring::npos);
    // What could go went; Zelk.exe and the entry stay for the next attempt.
    EXPECT_FALSE(fs::exists(paths_.launcherExe));
    EXPECT_FALSE(fs::exists(paths_.iconsDir));
    EXPECT_TRUE(fs::exists(held));
    EXPECT_TRUE(fs::exists(paths_.exePath));
    EXPECT_TRUE(hive_.HasKey(kUninstallKey));
    EXPECT_TRUE(finished_.empty());

    holder.reset();
    EXPECT_EQ(RunUninstall({.silent = true}, setup_), kUninstalled);
    EXPECT_FALSE(fs::exists(paths_.appDir));
    EXPECT_EQ(finished_.size(), 1u);
    ExpectUsersDataKept();
}

TEST_F(Uninstall, ALastStepThatCannotStartKeepsZelkExeListed) {
    finishWorks_ = false;
    EXPECT_EQ(RunUninstall({}, setup_), kUninstallFailed);
    ASSERT_EQ(told_.size(), 1u);
    EXPECT_NE(told_[0].find(paths_.exePath.native()), std::wstring::npos);
    EXPECT_TRUE(hive_.HasKey(kUninstallKey));
}

TEST_F(Uninstall, TheLastStepWaitsForZelkExeThenRemovesTheEntryAndAnEmptyRoot) {
    // Zelk.exe still held for a moment, as by the process that just ended.
    UniqueFile holder(CreateFileW(paths_.exePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    std::thread release([&holder] {
        Sleep(500);
        holder.reset();
    });
    EXPECT_TRUE(RemoveInstalledProgram(paths_));
    release.join();
    EXPECT_FALSE(fs::exists(paths_.exePath));
    EXPECT_FALSE(hive_.HasKey(kUninstallKey));
    EXPECT_TRUE(fs::exists(paths_.root));  // the user's data is still in it

    RegisterUninstallEntry(paths_);
    testing::RemoveTree(paths_.appDataDir);
    for (const auto& entry : fs::directory_iterator(paths_.root)) {
        fs::remove_all(entry.path());
    }
    EXPECT_TRUE(RemoveInstalledProgram(paths_));  // already gone: nothing to wait for
    EXPECT_FALSE(fs::exists(paths_.root));
    EXPECT_FALSE(hive_.HasKey(kUninstallKey));
}

}  // namespace
}  // namespace zelk

#include "shell/shortcuts.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "app/launch_options.h"
#include "common/win_handles.h"
#include "install/paths.h"
#include "shell_test_support.h"

namespace zelk {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

// Icon contents and the first 8 hexadecimal digits of their SHA-256.
const std::string kFirstIcon = "\0\0\1\0\1\0first icon"s;
const std::wstring kFirstName = L"zelk-01aa7fb1.ico";
const std::string kSecondIcon = "\0\0\1\0\1\0second icon"s;
const std::wstring kSecondName = L"zelk-59b6c432.ico";
const std::string kFiveBytes = "\0\0\1\0\1"s;

// A fixed old time stamp: a shortcut that still carries it was not saved again.
// Whole seconds, which every file system stores exactly.
const fs::file_time_type kOldTime = std::chrono::floor<std::chrono::seconds>(
    fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));

TEST(CreateShortcutTest, WritesTargetWorkingDirectoryAndDescription) {
    ComApartment com;
    const fs::path scratch = test::MakeScratchFolder(L"create");
    ASSERT_FALSE(scratch.empty());
    fs::create_directories(scratch / L"Zelk");
    const fs::path target = scratch / L"Zelk" / L"Zelk.exe";
    const fs::path other = scratch / L"Other.exe";
    ASSERT_TRUE(test::WriteBytes(target, "exe"));
    ASSERT_TRUE(test::WriteBytes(other, "exe"));
    const fs::path lnk = scratch / L"Zelk.lnk";

    CreateShortcut(lnk, target);
    test::ShortcutInfo info = test::ReadShortcut(lnk);
    ASSERT_TRUE(info.loaded);
    EXPECT_EQ(info.target, target.native());
    EXPECT_EQ(info.workingDirectory, (scratch / L"Zelk").native());
    EXPECT_EQ(info.description, L"Zelk");
    EXPECT_EQ(info.iconPath, L"");  // the target's own icon until a refresh

    // An existing shortcut is overwritten.
    CreateShortcut(lnk, other);
    info = test::ReadShortcut(lnk);
    EXPECT_EQ(info.target, other.native());
    EXPECT_EQ(info.workingDirectory, scratch.native());
    test::RemoveTree(scratch);
}

// The prefix's Desktop may be the Unix home folder, shared by every prefix on
// the machine: the test points both known folders at scratch folders instead,
// through a scratch key standing in for HKEY_CURRENT_USER.
TEST(CreateShortcutTest, StandardShortcutsOnDesktopAndInPrograms) {
    ComApartment com;
    const fs::path scratch = test::MakeScratchFolder(L"standard");
    ASSERT_FALSE(scratch.empty());
    const fs::path target = scratch / L"Zelk.exe";
    const fs::path desktop = scratch / L"Desktop";
    const fs::path programs = scratch / L"Start Menu" / L"Programs";
    ASSERT_TRUE(test::WriteBytes(target, "exe"));
    fs::create_directories(desktop);
    fs::create_directories(programs);

    const std::wstring keyName =
        L"Software\\ZelkShellTests\\folders-" + std::to_wstring(GetCurrentProcessId());
    {
        UniqueRegKey scratchKey;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, keyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, scratchKey.put(), nullptr),
                  ERROR_SUCCESS);
        UniqueRegKey folders;
        ASSERT_EQ(RegCreateKeyExW(
                      scratchKey.get(),
                      L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                      0, nullptr, 0, KEY_SET_VALUE, nullptr, folders.put(), nullptr),
                  ERROR_SUCCESS);
        for (const auto& [name, dir] : {std::pair{L"Desktop", desktop}, {L"Programs", programs}}) {
            RegSetValueExW(folders.get(), name, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(dir.c_str()),
                           static_cast<DWORD>((dir.native().size() + 1) * sizeof(wchar_t)));
        }
        ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, scratchKey.get()), ERROR_SUCCESS);
    }
    const fs::path shellDesktop = KnownFolderPath(FOLDERID_Desktop);
    const fs::path shellPrograms = KnownFolderPath(FOLDERID_Programs);
    if (shellDesktop == desktop && shellPrograms == programs) {
        CreateStandardShortcuts(target);
    }
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, keyName.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\ZelkShellTests");  // only once empty

    ASSERT_EQ(shellDesktop, desktop);
    ASSERT_EQ(shellPrograms, programs);
    for (const fs::path& lnk : {desktop / L"Zelk.lnk", programs / L"Zelk.lnk"}) {
        const test::ShortcutInfo info = test::ReadShortcut(lnk);
        EXPECT_TRUE(info.loaded) << lnk;
        EXPECT_EQ(info.target, target.native()) << lnk;
        EXPECT_EQ(info.description, L"Zelk") << lnk;
    }
    test::RemoveTree(scratch);
}

// Shell notifications seen by a window registered for the two events a refresh sends.
struct Notification {
    LONG event;
    std::wstring path;
};
std::vector<Notification> gNotifications;
constexpr UINT kNotifyMessage = WM_APP + 7;

LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kNotifyMessage) {
        PIDLIST_ABSOLUTE* items = nullptr;
        LONG event = 0;
        HANDLE lock = SHChangeNotification_Lock(reinterpret_cast<HANDLE>(wParam),
                                                static_cast<DWORD>(lParam), &items, &event);
        if (lock) {
            wchar_t path[MAX_PATH] = {};
            if (items && items[0]) {
                SHGetPathFromIDListW(items[0], path);
            }
            gNotifications.push_back({event, path});
            SHChangeNotification_Unlock(lock);
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

struct WindowTraits {
    using Type = HWND;
    static Type empty() { return nullptr; }
    static void close(Type h) { DestroyWindow(h); }
};
struct IdListTraits {
    using Type = PIDLIST_ABSOLUTE;
    static Type empty() { return nullptr; }
    static void close(Type p) { CoTaskMemFree(p); }
};
struct NotifyRegistrationTraits {
    using Type = ULONG;
    static Type empty() { return 0; }
    static void close(Type id) { SHChangeNotifyDeregister(id); }
};

class NotificationListener {
public:
    NotificationListener() {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = NotifyWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"ZelkShellTestNotify";
        RegisterClassW(&windowClass);
        window_.reset(CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0,
                                      HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr));
        SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, desktop_.put());
        if (window_ && desktop_) {
            SHChangeNotifyEntry everything{desktop_.get(), TRUE};
            registration_.reset(SHChangeNotifyRegister(
                window_.get(), SHCNRF_ShellLevel | SHCNRF_InterruptLevel | SHCNRF_NewDelivery,
                SHCNE_UPDATEITEM | SHCNE_ASSOCCHANGED, kNotifyMessage, 1, &everything));
        }
        gNotifications.clear();
    }
    bool ready() const { return static_cast<bool>(registration_); }
    std::vector<Notification> Take() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        return std::exchange(gNotifications, {});
    }

private:
    Unique<WindowTraits> window_;
    Unique<IdListTraits> desktop_;
    Unique<NotifyRegistrationTraits> registration_;
};

class RefreshIconsTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = test::MakeScratchFolder(L"icons");
        ASSERT_FALSE(root_.empty());
        DataRootOverride = root_.native();
        paths_ = MakeInstallPaths(root_);
        fs::create_directories(paths_.appDir);
        other_ = root_ / L"Other.exe";
        ASSERT_TRUE(test::WriteBytes(paths_.exePath, "bootstrapper"));
        ASSERT_TRUE(test::WriteBytes(paths_.launcherExe, "launcher"));
        ASSERT_TRUE(test::WriteBytes(other_, "other"));

        const fs::path roaming = KnownFolderPath(FOLDERID_RoamingAppData);
        ASSERT_FALSE(roaming.empty());
        // A folder of our own inside the real pinned folder, one level down, so
        // the walk has to recurse to find it.
        pinned_ = roaming / L"Microsoft" / L"Internet Explorer" / L"Quick Launch" / L"User Pinned" /
                  root_.filename();
        fs::create_directories(pinned_ / L"TaskBar");
    }

    void TearDown() override {
        DataRootOverride.clear();
        test::RemoveTree(root_);
        test::RemoveTree(pinned_);
    }

    fs::path CopyPath(const std::wstring& name) const { return paths_.iconsDir / name; }

    // Marks the shortcut so that any later save shows.
    void Age(const fs::path& lnk) { fs::last_write_time(lnk, kOldTime); }
    bool Untouched(const fs::path& lnk, const std::string& bytes) {
        return fs::last_write_time(lnk) == kOldTime && test::ReadBytes(lnk) == bytes;
    }

    ComApartment com_;
    fs::path root_;
    InstallPaths paths_;
    fs::path other_;
    fs::path pinned_;
};

TEST_F(RefreshIconsTest, ShortcutsToLauncherOrBootstrapperGetTheCopy) {
    const fs::path launcherLink = pinned_ / L"TaskBar" / L"Zelk Launcher.lnk";
    const fs::path bootstrapperLink = pinned_ / L"Zelk.lnk";
    ASSERT_TRUE(test::WriteShortcut(launcherLink, paths_.launcherExe, paths_.launcherExe, 0));
    ASSERT_TRUE(test::WriteShortcut(bootstrapperLink, paths_.exePath, paths_.exePath, 3));
    ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kFirstIcon));

    RefreshShortcutIcons(paths_.appDir);

    const fs::path copy = CopyPath(kFirstName);
    EXPECT_EQ(test::ReadBytes(copy), kFirstIcon);
    for (const fs::path& lnk : {launcherLink, bootstrapperLink}) {
        const test::ShortcutInfo info = test::ReadShortcut(lnk);
        EXPECT_EQ(info.iconPath, copy.native()) << lnk;
        EXPECT_EQ(info.iconIndex, 0) << lnk;
    }
    EXPECT_EQ(test::ReadShortcut(launcherLink).target, paths_.launcherExe.native());
}

TEST_F(RefreshIconsTest, TargetInAnotherLetterCaseCountsAsOurs) {
    std::wstring shouted = paths_.exePath.native();
    std::transform(shouted.begin(), shouted.end(), shouted.begin(), towupper);
    const fs::path lnk = pinned_ / L"shouted.lnk";
    ASSERT_TRUE(test::WriteShortcut(lnk, shouted, L"", 0));
    ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kFirstIcon));

    RefreshShortcutIcons(paths_.appDir);
    EXPECT_EQ(test::ReadShortcut(lnk).iconPath, CopyPath(kFirstName).native());
}

TEST_F(RefreshIconsTest, OnlyAWrongIndexOrPathIsRewritten) {
    ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kFirstIcon));
    const fs::path copy = CopyPath(kFirstName);
    const fs::path indexOne = pinned_ / L"index-one.lnk";
    const fs::path current = pinned_ / L"current.lnk";
    ASSERT_TRUE(test::WriteShortcut(indexOne, paths_.launcherExe, copy, 1));
    ASSERT_TRUE(test::WriteShortcut(current, paths_.launcherExe, copy, 0));
    Age(indexOne);
    Age(current);
    const std::string currentBytes = test::ReadBytes(current);

    RefreshShortcutIcons(paths_.appDir);

    const test::ShortcutInfo info = test::ReadShortcut(indexOne);
    EXPECT_EQ(info.iconPath, copy.native());
    EXPECT_EQ(info.iconIndex, 0);
    EXPECT_NE(fs::last_write_time(indexOne), kOldTime);
    EXPECT_TRUE(Untouched(current, currentBytes));
}

TEST_F(RefreshIconsTest, ShortcutsNotOursAreLeftAlone) {
    struct Case {
        const wchar_t* name;
        fs::path target;
    };
    const std::vector<Case> cases = {
        {L"other program.lnk", other_},
        {L"empty target.lnk", L""},
        {L"missing target.lnk", root_ / L"Gone.exe"},
        {L"capital extension.LNK", paths_.launcherExe},  // not a ".lnk" as written
        {L"other extension.lnk.bak", paths_.launcherExe},
    };
    std::vector<std::string> before;
    for (const Case& c : cases) {
        const fs::path lnk = pinned_ / L"TaskBar" / c.name;
        ASSERT_TRUE(test::WriteShortcut(lnk, c.target, other_, 2)) << lnk;
        Age(lnk);
        before.push_back(test::ReadBytes(lnk));
    }
    ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kFirstIcon));

    RefreshShortcutIcons(paths_.appDir);

    EXPECT_EQ(test::ReadBytes(CopyPath(kFirstName)), kFirstIcon);  // the refresh did run
    for (size_t i = 0; i < cases.size(); ++i) {
        const fs::path lnk = pinned_ / L"TaskBar" / cases[i].name;
        EXPECT_TRUE(Untouched(lnk, before[i])) << lnk;
        EXPECT_EQ(test::ReadShortcut(lnk).iconPath, other_.native()) << lnk;
    }
}

TEST_F(RefreshIconsTest, NewIconGetsNewCopyAndOldCopiesGo) {
    const fs::path lnk = pinned_ / L"Zelk Launcher.lnk";
    ASSERT_TRUE(test::WriteShortcut(lnk, paths_.launcherExe, L"", 0));
    ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kFirstIcon));
    RefreshShortcutIcons(paths_.appDir);
    ASSERT_EQ(test::ReadBytes(CopyPath(kFirstName)), kFirstIcon);

    ASSERT_TRUE(test::WriteBytes(CopyPath(L"zelk-00000000.ico"), "stale"));
    ASSERT_TRUE(test::WriteBytes(CopyPath(L"notes.txt"), "kept"));
    ASSERT_TRUE(test::WriteBytes(CopyPath(L"capital.ICO"), "kept"));
    ASSERT_TRUE(test::WriteBytes(CopyPath(L"zelk-11111111.ico.tmp"), "kept"));
    fs::create_directories(CopyPath(L"folder"));
    ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kSecondIcon));
    RefreshShortcutIcons(paths_.appDir);

    EXPECT_EQ(test::ReadBytes(CopyPath(kSecondName)), kSecondIcon);
    EXPECT_FALSE(fs::exists(CopyPath(kFirstName)));
    EXPECT_FALSE(fs::exists(CopyPath(L"zelk-00000000.ico")));
    EXPECT_EQ(test::ReadBytes(CopyPath(L"notes.txt")), "kept");
    EXPECT_EQ(test::ReadBytes(CopyPath(L"capital.ICO")), "kept");
    EXPECT_EQ(test::ReadBytes(CopyPath(L"zelk-11111111.ico.tmp")), "kept");
    EXPECT_TRUE(fs::is_directory(CopyPath(L"folder")));
    const test::ShortcutInfo info = test::ReadShortcut(lnk);
    EXPECT_EQ(info.iconPath, CopyPath(kSecondName).native());
    EXPECT_EQ(info.iconIndex, 0);
}

TEST_F(RefreshIconsTest, CopyStoredInAnotherLetterCaseIsKept) {
    // The file system finds the copy under this spelling, so it is not written
    // again; removing it as "another .ico" would leave every shortcut without icon.
    fs::create_directories(paths_.iconsDir);
    ASSERT_TRUE(test::WriteBytes(CopyPath(L"ZELK-01AA7FB1.ico"), kFirstIcon));
    const fs::path lnk = pinned_ / L"Zelk Launcher.lnk";
    ASSERT_TRUE(test::WriteShortcut(lnk, paths_.launcherExe, L"", 0));
    ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kFirstIcon));

    RefreshShortcutIcons(paths_.appDir);

    EXPECT_EQ(test::ReadShortcut(lnk).iconPath, CopyPath(kFirstName).native());
    EXPECT_EQ(test::ReadBytes(CopyPath(kFirstName)), kFirstIcon);
}

TEST_F(RefreshIconsTest, MissingOrShortIconChangesNothing) {
    const fs::path lnk = pinned_ / L"Zelk Launcher.lnk";
    ASSERT_TRUE(test::WriteShortcut(lnk, paths_.launcherExe, paths_.launcherExe, 0));
    Age(lnk);
    const std::string bytes = test::ReadBytes(lnk);

    RefreshShortcutIcons(paths_.appDir);  // no zelk.ico at all
    EXPECT_FALSE(fs::exists(paths_.iconsDir));

    ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kFiveBytes));
    RefreshShortcutIcons(paths_.appDir);
    EXPECT_FALSE(fs::exists(paths_.iconsDir));

    fs::create_directories(paths_.iconsDir);
    ASSERT_TRUE(test::WriteBytes(CopyPath(kFirstName), kFirstIcon));
    RefreshShortcutIcons(paths_.appDir);
    EXPECT_EQ(test::ReadBytes(CopyPath(kFirstName)), kFirstIcon);
    EXPECT_TRUE(Untouched(lnk, bytes));
}

TEST_F(RefreshIconsTest, UnwritableCopyTouchesNoShortcut) {
    // A file where the icons folder should be: neither the folder nor the copy can be made.
    fs::create_directories(paths_.dataDir);
    ASSERT_TRUE(test::WriteBytes(paths_.iconsDir, "in the way"));
    const fs::path lnk = pinned_ / L"Zelk Launcher.lnk";
    ASSERT_TRUE(test::WriteShortcut(lnk, paths_.launcherExe, paths_.launcherExe, 0));
    Age(lnk);
    const std::string bytes = test::ReadBytes(lnk);
    ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kFirstIcon));

    RefreshShortcutIcons(paths_.appDir);
    EXPECT_TRUE(Untouched(lnk, bytes));
    EXPECT_EQ(test::ReadBytes(paths_.iconsDir), "in the way");
}

TEST_F(RefreshIconsTest, NotifiesEachSavedShortcutThenAssociationsOnce) {
    NotificationListener listener;
    ASSERT_TRUE(listener.ready());
    const fs::path first = pinned_ / L"first.lnk";
    const fs::path second = pinned_ / L"TaskBar" / L"second.lnk";
    const fs::path foreign = pinned_ / L"foreign.lnk";
    ASSERT_TRUE(test::WriteShortcut(first, paths_.launcherExe, paths_.launcherExe, 0));
    ASSERT_TRUE(test::WriteShortcut(second, paths_.exePath, L"", 0));
    ASSERT_TRUE(test::WriteShortcut(foreign, other_, L"", 0));
    ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kFirstIcon));
    listener.Take();

    RefreshShortcutIcons(paths_.appDir);
    std::vector<Notification> seen = listener.Take();
    ASSERT_EQ(seen.size(), 3u);
    std::vector<std::wstring> updated;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(seen[i].event, SHCNE_UPDATEITEM);
        updated.push_back(seen[i].path);
    }
    std::sort(updated.begin(), updated.end());
    std::vector<std::wstring> expected = {first.native(), second.native()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(updated, expected);
    EXPECT_EQ(seen[2].event, SHCNE_ASSOCCHANGED);

    // Nothing left to change: no notification at all.
    RefreshShortcutIcons(paths_.appDir);
    EXPECT_TRUE(listener.Take().empty());
}

}  // namespace
}  // namespace zelk

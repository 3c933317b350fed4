#include "shell/launcher.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <optional>
#include <thread>

#include "app/launch_options.h"
#include "common/process.h"
#include "common/text.h"
#include "common/win_handles.h"
#include "install/paths.h"
#include "shell_test_support.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kIcon = "\0\0\1\0\1\0launcher icon"s;

// A throw-away installation with the stand-in as its launcher; the stand-in's
// record of each start goes to record.txt in the scratch folder.
class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin_ = test::StandinLauncher();
        ASSERT_FALSE(standin_.empty()) << "ZELK_STANDIN_LAUNCHER is not set";
        root_ = test::MakeScratchFolder(L"launch");
        ASSERT_FALSE(root_.empty());
        paths_ = MakeInstallPaths(root_);
        fs::create_directories(paths_.appDir);
        record_ = root_ / L"record.txt";
        recordVariable_.emplace(L"ZELK_STANDIN_RECORD", record_.c_str());
        lingerVariable_.emplace(L"ZELK_STANDIN_LINGER_MS", nullptr);
        DataRootOverride = root_.native();
        LaunchUrl.clear();
    }

    void TearDown() override {
        DataRootOverride.clear();
        LaunchUrl.clear();
        lingerVariable_.reset();
        recordVariable_.reset();
        // The stand-in may still be writing its record: give it a moment.
        for (int attempt = 0; attempt < 50 && fs::exists(root_); ++attempt) {
            test::RemoveTree(root_);
            if (fs::exists(root_)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }

    void InstallStandin() {
        ASSERT_TRUE(CopyFileW(standin_.c_str(), paths_.launcherExe.c_str(), FALSE));
        ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kIcon));
    }

    // One record line: the command line and the current directory.
    static std::pair<std::wstring, std::wstring> Split(const std::string& line) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            return {};
        }
        std::string rest = line.substr(tab + 1);
        if (!rest.empty() && rest.back() == '\n') {
            rest.pop_back();
        }
        return {Utf8ToWide(line.substr(0, tab)), Utf8ToWide(rest)};
    }

    bool IconRefreshed() const { return fs::exists(paths_.iconsDir / L"zelk-d3e2f9df.ico"); }

    ComApartment com_;
    fs::path standin_;
    fs::path root_;
    InstallPaths paths_;
    fs::path record_;
    std::optional<test::ScopedEnvironment> recordVariable_;
    std::optional<test::ScopedEnvironment> lingerVariable_;
};

TEST_F(LauncherTest, StartsWithQuotedPathOnlyInAppDir) {
    InstallStandin();
    ASSERT_TRUE(StartLauncher(paths_.appDir));
    const auto [commandLine, directory] = Split(test::WaitForLines(record_, 1));
    EXPECT_EQ(commandLine, L"\"" + paths_.launcherExe.native() + L"\"");
    EXPECT_EQ(directory, paths_.appDir.native());
    EXPECT_TRUE(IconRefreshed());
}

TEST_F(LauncherTest, PassesTheLinkAsOneQuotedArgument) {
    InstallStandin();
    LaunchUrl = L"zelk://rejoindre/serveur 1?mode=\u00e9t\u00e9";
    ASSERT_TRUE(StartLauncher(paths_.appDir));
    const auto [commandLine, directory] = Split(test::WaitForLines(record_, 1));
    EXPECT_EQ(commandLine, L"\"" + paths_.launcherExe.native() + L"\" \"" + LaunchUrl + L"\"");
    EXPECT_EQ(directory, paths_.appDir.native());
}

// What CommandLineToArgvW (as the C runtime) reads back from Quoted text.
std::vector<std::wstring> ReadBack(const std::wstring& commandLine) {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> args;
    if (argv != nullptr) {
        args.assign(argv, argv + count);
        LocalFree(argv);
    }
    return args;
}

TEST(Quoted, EveryArgumentReadsBackAsItWasGiven) {
    const std::wstring texts[] = {
        L"",
        L"zelk://x",
        L"zelk://x\\",
        L"zelk://x\\\\",
        L"C:\\Program Files\\Zelk\\Zelk.exe",
        L"C:\\temp\\",
        L"a\"b",
        L"a\\\"b",
        L"a\\\\\"b\\",
        L"\"",
        L"two  spaces\ttab",
        L"\\\\server\\share",
    };
    for (const std::wstring& text : texts) {
        const std::wstring commandLine = L"program.exe " + Quoted(text) + L" " + Quoted(L"next");
        EXPECT_EQ(ReadBack(commandLine), (std::vector<std::wstring>{L"program.exe", text, L"next"}))
            << commandLine;
    }
}

TEST_F(LauncherTest, ALinkEndingWithABackslashReachesTheLauncherAsSent) {
    InstallStandin();
    LaunchUrl = L"zelk://x\\";
    ASSERT_TRUE(StartLauncher(paths_.appDir));
    const auto [commandLine, directory] = Split(test::WaitForLines(record_, 1));
    EXPECT_EQ(ReadBack(commandLine),
              (std::vector<std::wstring>{paths_.launcherExe.native(), LaunchUrl}));
}

TEST_F(LauncherTest, MissingLauncherStartsNothingAndRefreshesNoIcon) {
    ASSERT_TRUE(test::WriteBytes(paths_.appIcon, kIcon));
    EXPECT_FALSE(StartLauncher(paths_.appDir));
    EXPECT_FALSE(fs::exists(paths_.iconsDir));

    DataRootOverride.clear();
    EXPECT_EQ(LaunchExitCode(paths_.appDir, 11), 2);
    EXPECT_FALSE(fs::exists(paths_.iconsDir));
}

TEST_F(LauncherTest, LauncherThatCannotRunGivesFalse) {
    ASSERT_TRUE(test::WriteBytes(paths_.launcherExe, "not a program"));
    EXPECT_FALSE(StartLauncher(paths_.appDir));
}

TEST_F(LauncherTest, ExitCodeWithExplicitRootStartsNothing) {
    InstallStandin();
    EXPECT_EQ(LaunchExitCode(paths_.appDir, 11), 11);
    EXPECT_EQ(LaunchExitCode(paths_.appDir, 42), 42);
    // StartLauncher refreshes the icons before it starts anything.
    EXPECT_FALSE(IconRefreshed());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(fs::exists(record_));
}

TEST_F(LauncherTest, ExitCodeWithoutExplicitRootStartsTheLauncher) {
    InstallStandin();
    DataRootOverride.clear();
    EXPECT_EQ(LaunchExitCode(paths_.appDir, 11), 0);
    const auto [commandLine, directory] = Split(test::WaitForLines(record_, 1));
    EXPECT_EQ(commandLine, L"\"" + paths_.launcherExe.native() + L"\"");
}

// Starts a copy of the stand-in under the given name that stays for a while.
struct LingeringStandin {
    UniqueHandle process;
};

LingeringStandin StartLingering(const fs::path& exe, const fs::path& record) {
    test::ScopedEnvironment linger(L"ZELK_STANDIN_LINGER_MS", L"30000");
    test::ScopedEnvironment target(L"ZELK_STANDIN_RECORD", record.c_str());
    std::wstring commandLine = L"\"" + exe.native() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    LingeringStandin standin;
    if (CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       nullptr, &startup, &created)) {
        standin.process.reset(created.hProcess);
        UniqueHandle thread(created.hThread);
    }
    return standin;
}

void Stop(LingeringStandin& standin) {
    if (standin.process) {
        TerminateProcess(standin.process.get(), 0);
        WaitForSingleObject(standin.process.get(), 10000);
    }
}

TEST_F(LauncherTest, ProcessNamesMatchIgnoringAsciiCaseOnly) {
    const fs::path exe = root_ / L"Zelkstandin\u00e9.exe";
    ASSERT_TRUE(CopyFileW(standin_.c_str(), exe.c_str(), FALSE));
    EXPECT_FALSE(IsProcessRunning(L"Zelkstandin\u00e9.exe"));

    LingeringStandin standin = StartLingering(exe, record_);
    ASSERT_TRUE(standin.process);
    ASSERT_NE(test::WaitForLines(record_, 1), "<missing>");

    EXPECT_TRUE(IsProcessRunning(L"Zelkstandin\u00e9.exe"));
    EXPECT_TRUE(IsProcessRunning(L"zELKSTANDIN\u00e9.EXE"));
    EXPECT_FALSE(IsProcessRunning(L"ZELKSTANDIN\u00c9.EXE"));  // E acute: not ASCII
    EXPECT_FALSE(IsProcessRunning(exe.native()));              // never a path
    EXPECT_FALSE(IsProcessRunning(L"Zelkstandin\u00e9"));
    Stop(standin);
    EXPECT_FALSE(IsProcessRunning(L"Zelkstandin\u00e9.exe"));
}

TEST_F(LauncherTest, LauncherMutexIsSeenWhileTheStandinRuns) {
    ASSERT_FALSE(IsLauncherRunning());
    LingeringStandin standin = StartLingering(standin_, record_);
    ASSERT_TRUE(standin.process);
    ASSERT_NE(test::WaitForLines(record_, 1), "<missing>");
    EXPECT_TRUE(IsLauncherRunning());
    Stop(standin);
    EXPECT_FALSE(IsLauncherRunning());
}

}  // namespace
}  // namespace zelk

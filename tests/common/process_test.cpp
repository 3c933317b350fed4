#include "common/process.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/win_handles.h"

namespace zelk {
namespace {

TEST(WaitForProcessEnd, WaitsForAnotherProcessNeverForItselfNorForNone) {
    // Neither would ever end: this process, and id 0 (what "--after-game x" reads as).
    EXPECT_TRUE(WaitForProcessEnd(GetCurrentProcessId(), INFINITE));
    EXPECT_TRUE(WaitForProcessEnd(0, INFINITE));
    EXPECT_TRUE(WaitForProcessEnd(0xFFFFFFFF, INFINITE));  // no such process: nothing to wait

    // A process that stays until it is ended: this very program, held suspended.
    const std::wstring self = OwnProgramPath();
    std::wstring commandLine = L"\"" + self + L"\" --gtest_list_tests";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    ASSERT_TRUE(CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                               CREATE_SUSPENDED, nullptr, nullptr, &startup, &created));
    UniqueHandle thread(created.hThread), process(created.hProcess);
    EXPECT_FALSE(WaitForProcessEnd(created.dwProcessId, 200));
    TerminateProcess(process.get(), 0);
    EXPECT_TRUE(WaitForProcessEnd(created.dwProcessId, INFINITE));
}

TEST(OwnProgramPath, TheWholePathOfThisProgram) {
    const std::wstring path = OwnProgramPath();
    ASSERT_GT(path.size(), 3u);
    EXPECT_TRUE(path.ends_with(L"\\common_tests.exe")) << path;
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace zelk

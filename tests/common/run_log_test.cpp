// The run log on disk: where its lines go, that they never go where no folder is,
// that the log is set aside at 1 MiB even while another Zelk holds it open, and that
// logging never disturbs the caller's last error.

#include "common/run_log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <string>

#include "common/win_handles.h"
#include "support/scratch.h"

namespace zelk {
namespace {

using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

class RunLog : public ::testing::Test {
protected:
    void SetUp() override {
        logs_ = scratch_ / L"logs";
        std::filesystem::create_directories(logs_);
        BeginRunLog(logs_);
    }
    void TearDown() override { BeginRunLog({}); }

    std::filesystem::path Log() const { return logs_ / L"zelk.log"; }

    ScratchDir scratch_;
    std::filesystem::path logs_;
};

TEST_F(RunLog, OneStampedLinePerCall) {
    zelk::Log("start: mode ", L"normal", ", link ", false);
    zelk::Log("file ", std::filesystem::path(L"lib") / L"caf\u00E9.dll", ": 12 bytes");
    const std::string text = ReadBytes(Log());
    const std::regex shape(
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z start: mode normal, link no\r\n"
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z file lib\\\\caf\xC3\xA9\\.dll: 12 "
        "bytes\r\n");
    EXPECT_TRUE(std::regex_match(text, shape)) << text;
}

TEST_F(RunLog, NoFolderNoLogAndNoFolderMade) {
    const std::filesystem::path gone = scratch_ / L"removed" / L"logs";
    BeginRunLog(gone);
    zelk::Log("dropped");
    EXPECT_FALSE(std::filesystem::exists(scratch_ / L"removed"));

    BeginRunLog({});
    zelk::Log("dropped too");
    EXPECT_EQ(ReadBytes(Log()), "<missing>");
}

TEST_F(RunLog, SetAsideAtOneMebibyteWhileAnotherWriterHoldsIt) {
    const std::string old(1048576 - 40, 'o');  // the size support is told, written out
    ASSERT_TRUE(WriteBytes(Log(), old));
    ASSERT_TRUE(WriteBytes(logs_ / L"zelk.log.1", "the oldest log"));
    // Another Zelk process appending at the same moment, as this log opens it.
    UniqueFile other(CreateFileW(Log().c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(other);

    zelk::Log("short");  // a stamp of 25 bytes, 5 and 2: still fits
    zelk::Log("this line would pass the limit");
    other.reset();

    const std::string rotated = ReadBytes(logs_ / L"zelk.log.1");
    EXPECT_EQ(rotated.size(), 1048576u - 40 + 32);
    EXPECT_EQ(rotated.compare(0, old.size(), old), 0);
    const std::string fresh = ReadBytes(Log());
    EXPECT_EQ(fresh.size(), 25 + 30 + 2u) << fresh;
    EXPECT_NE(fresh.find("this line would pass the limit\r\n"), std::string::npos);
}

TEST_F(RunLog, TheCallersLastErrorSurvives) {
    SetLastError(ERROR_DISK_FULL);
    zelk::Log("written");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));

    BeginRunLog(scratch_ / L"missing");
    SetLastError(ERROR_SHARING_VIOLATION);
    zelk::Log("dropped");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST_F(RunLog, ALogHeldExclusivelyIsSkipped) {
    ASSERT_TRUE(WriteBytes(Log(), "kept\r\n"));
    {
        UniqueFile holder(CreateFileW(Log().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        zelk::Log("dropped while held");
    }
    zelk::Log("after");
    const std::string text = ReadBytes(Log());
    EXPECT_EQ(text.find("dropped"), std::string::npos);
    EXPECT_NE(text.find("after\r\n"), std::string::npos);
}

}  // namespace
}  // namespace zelk

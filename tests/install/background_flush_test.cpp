#include "install/background_flush.h"

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "support/scratch.h"

namespace zelk {
namespace {

using testing::Bytes;
using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

TEST(BackgroundFlush, FlushesEveryFileAddedAndCountsTheOnesItCould) {
    ScratchDir dir;
    BackgroundFlush flushes;
    for (int i = 0; i < 40; ++i) {
        const std::filesystem::path file = dir / (L"f" + std::to_wstring(i));
        ASSERT_TRUE(WriteFileAtomically(file, Bytes(std::to_string(i)), Durability::Deferred));
        flushes.Add(file);
    }
    flushes.Add(dir / L"missing");
    // Opened without any sharing: nothing else can open it, not even to flush it.
    WriteBytes(dir / L"exclusive", "x");
    UniqueFile holder(CreateFileW((dir / L"exclusive").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    flushes.Add(dir / L"exclusive");
    EXPECT_EQ(flushes.Finish(), 40u);
    holder.reset();

    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(ReadBytes(dir / (L"f" + std::to_wstring(i))), std::to_string(i));
        EXPECT_FALSE(std::filesystem::exists(dir / (L"f" + std::to_wstring(i) + L".tmp")));
    }
    // After Finish the thread is gone: a file added later is flushed at once.
    flushes.Add(dir / L"exclusive");
    EXPECT_EQ(flushes.Finish(), 41u);
}

TEST(BackgroundFlush, DurableRunsInOrderOnlyForFlushedFiles) {
    ScratchDir dir;
    std::vector<std::wstring> durable;  // touched by the flushing thread only, until Finish
    BackgroundFlush flushes;
    for (const wchar_t* name : {L"a", L"b", L"missing", L"c"}) {
        if (std::wstring(name) != L"missing") {
            ASSERT_TRUE(WriteBytes(dir / name, "x"));
        }
        flushes.Add(dir / name, [&durable, name] { durable.push_back(name); });
    }
    EXPECT_EQ(flushes.Finish(), 3u);
    EXPECT_EQ(durable, (std::vector<std::wstring>{L"a", L"b", L"c"}));
}

TEST(BackgroundFlush, PlacingOverAFileBeingFlushedStillSucceeds) {
    ScratchDir dir;
    const std::filesystem::path file = dir / L"data.bin";
    const std::filesystem::path incoming = dir / L"incoming";
    BackgroundFlush flushes;
    for (int round = 0; round < 30; ++round) {
        ASSERT_TRUE(WriteBytes(incoming, std::string(100000, char('a' + round))));
        ASSERT_TRUE(flushes.Place(incoming, file)) << "round " << round;
        if (round % 10 == 0) {
            flushes.Drain();  // returns with the thread still there for more
        }
    }
    EXPECT_EQ(flushes.Finish(), 30u);
    EXPECT_EQ(ReadBytes(file), std::string(100000, char('a' + 29)));
    EXPECT_FALSE(std::filesystem::exists(incoming));

    // A file someone else holds fails on the retry too, and keeps its content.
    UniqueFile holder(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    ASSERT_TRUE(WriteBytes(incoming, "new"));
    BackgroundFlush more;
    EXPECT_FALSE(more.Place(incoming, file));
    EXPECT_EQ(more.Finish(), 0u);
    holder.reset();
    EXPECT_EQ(ReadBytes(file), std::string(100000, char('a' + 29)));
    EXPECT_EQ(ReadBytes(incoming), "new");
}

}  // namespace
}  // namespace zelk

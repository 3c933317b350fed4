#include "install/file_helpers.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/win_handles.h"
#include "support/scratch.h"

namespace zelk {
namespace {

using testing::Bytes;
using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

TEST(ReadWholeFile, EmptyMissingAndFolder) {
    ScratchDir dir;
    WriteBytes(dir / L"empty", "");
    std::vector<std::uint8_t> bytes = Bytes("old");
    EXPECT_TRUE(ReadWholeFile(dir / L"empty", bytes));
    EXPECT_TRUE(bytes.empty());

    bytes = Bytes("kept");
    EXPECT_FALSE(ReadWholeFile(dir / L"missing", bytes));
    EXPECT_EQ(bytes, Bytes("kept"));
    EXPECT_FALSE(ReadWholeFile(dir.path(), bytes));
    EXPECT_EQ(bytes, Bytes("kept"));
}

TEST(ReadWholeFile, AFileOverTheLimitIsNotRead) {
    ScratchDir dir;
    WriteBytes(dir / L"f", "12345");
    std::vector<std::uint8_t> bytes = Bytes("kept");
    EXPECT_FALSE(ReadWholeFile(dir / L"f", bytes, 4));
    EXPECT_EQ(bytes, Bytes("kept"));
    EXPECT_TRUE(ReadWholeFile(dir / L"f", bytes, 5));
    EXPECT_EQ(bytes, Bytes("12345"));
}

TEST(ReadWholeFile, ReplacesContentAndReadsWhileAnotherWriterHasItOpen) {
    ScratchDir dir;
    std::string content(300000, '\0');
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 31 + 7);
    }
    WriteBytes(dir / L"f.bin", content);
    UniqueFile writer(CreateFileW((dir / L"f.bin").c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(writer);
    std::vector<std::uint8_t> bytes = Bytes("previous content");
    ASSERT_TRUE(ReadWholeFile(dir / L"f.bin", bytes));
    EXPECT_EQ(bytes, Bytes(content));
}

TEST(WriteFileAtomically, ReplacesAndLeavesNoTemporaryFile) {
    ScratchDir dir;
    WriteBytes(dir / L"Zelk.exe", "old bytes");
    ASSERT_TRUE(WriteFileAtomically(dir / L"Zelk.exe", Bytes("new")));
    EXPECT_EQ(ReadBytes(dir / L"Zelk.exe"), "new");
    EXPECT_FALSE(std::filesystem::exists(dir / L"Zelk.exe.tmp"));
    ASSERT_TRUE(WriteFileAtomically(dir / L"empty", {}));
    EXPECT_EQ(std::filesystem::file_size(dir / L"empty"), 0u);
}

TEST(WriteFileAtomically, MissingFolderFailsAndCreatesNothing) {
    ScratchDir dir;
    EXPECT_FALSE(WriteFileAtomically(dir / L"no" / L"f.txt", Bytes("x")));
    EXPECT_FALSE(std::filesystem::exists(dir / L"no"));
}

TEST(WriteFileAtomically, TargetHeldOpenKeepsItsContent) {
    ScratchDir dir;
    WriteBytes(dir / L"locked.dll", "old");
    // Like a running program's image: readers allowed, but no delete sharing.
    UniqueFile holder(CreateFileW((dir / L"locked.dll").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(WriteFileAtomically(dir / L"locked.dll", Bytes("new")));
    holder.reset();
    EXPECT_EQ(ReadBytes(dir / L"locked.dll"), "old");
    EXPECT_EQ(ReadBytes(dir / L"locked.dll.tmp"), "new");
    // The next attempt reuses the leftover and succeeds once the file is free.
    EXPECT_TRUE(WriteFileAtomically(dir / L"locked.dll", Bytes("newer")));
    EXPECT_EQ(ReadBytes(dir / L"locked.dll"), "newer");
    EXPECT_FALSE(std::filesystem::exists(dir / L"locked.dll.tmp"));
}

TEST(MoveIfAbsent, MovesOnlyIntoAFreePlace) {
    ScratchDir dir;
    WriteBytes(dir / L"a.txt", "a");
    WriteBytes(dir / L"taken" / L"a.txt", "other");
    MoveTally tally;
    MoveIfAbsent(dir / L"a.txt", dir / L"taken" / L"a.txt", tally);
    EXPECT_EQ(tally.moved, 0);
    EXPECT_EQ(ReadBytes(dir / L"a.txt"), "a");
    EXPECT_EQ(ReadBytes(dir / L"taken" / L"a.txt"), "other");

    MoveIfAbsent(dir / L"missing", dir / L"elsewhere", tally);
    EXPECT_EQ(tally.moved, 0);
    EXPECT_FALSE(std::filesystem::exists(dir / L"elsewhere"));

    MoveIfAbsent(dir / L"a.txt", dir / L"new" / L"deep" / L"a.txt", tally);
    EXPECT_EQ(tally.moved, 1);
    EXPECT_EQ(ReadBytes(dir / L"new" / L"deep" / L"a.txt"), "a");
    EXPECT_FALSE(std::filesystem::exists(dir / L"a.txt"));
}

TEST(MoveIfAbsent, FolderMovesWholeAndCountsOnce) {
    ScratchDir dir;
    WriteBytes(dir / L"app" / L"ZelkLauncher.exe", "L");
    WriteBytes(dir / L"app" / L"lib" / L"x.dll", "X");
    MoveTally tally;
    MoveIfAbsent(dir / L"app", dir / L"Zelk Application Data" / L"app", tally);
    EXPECT_EQ(tally.moved, 1);
    EXPECT_EQ(ReadBytes(dir / L"Zelk Application Data" / L"app" / L"lib" / L"x.dll"), "X");
    EXPECT_FALSE(std::filesystem::exists(dir / L"app"));
}

// The helpers below the data root of a run, with no link around (the links themselves are
// made on the Linux side, in tests/e2e): what they do to Zelk's own files and folders.
class OwnFiles : public ::testing::Test {
protected:
    void SetUp() override { SetOwnRoot(dir_.path()); }
    void TearDown() override { SetOwnRoot({}); }
    ScratchDir dir_;
};

TEST_F(OwnFiles, AFileIsOpenedOrMadeAndAFolderOnTheWayMade) {
    UniqueFile made = OpenOwnFile(dir_ / L"zelk.log", GENERIC_WRITE, FILE_SHARE_READ, true);
    EXPECT_TRUE(made);
    made.reset();
    WriteBytes(dir_ / L"kept", "kept");
    EXPECT_TRUE(OpenOwnFile(dir_ / L"kept", GENERIC_READ, FILE_SHARE_READ, true));
    EXPECT_EQ(ReadBytes(dir_ / L"kept"), "kept");
    EXPECT_FALSE(OpenOwnFile(dir_ / L"absent", GENERIC_READ, FILE_SHARE_READ, false));
    EXPECT_FALSE(PathExists(dir_ / L"absent"));

    EXPECT_TRUE(CreateOwnFolders(dir_ / L"a" / L"b" / L"c"));
    EXPECT_TRUE(CreateOwnFolders(dir_ / L"a" / L"b" / L"c"));  // there already
    // A file where a folder goes stops the way, nothing made below it.
    EXPECT_FALSE(CreateOwnFolders(dir_ / L"kept" / L"x"));
    EXPECT_EQ(ReadBytes(dir_ / L"kept"), "kept");
    // A folder where a file goes is refused as CreateFileW refuses it.
    EXPECT_FALSE(OpenOwnFile(dir_ / L"a", GENERIC_WRITE, 0, true));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(OwnFiles, RemovalsTakeWhatIsThereAndOnlyThat) {
    WriteBytes(dir_ / L"tree" / L"deep" / L"x.dll", "x");
    WriteBytes(dir_ / L"tree" / L"ro.txt", "r");
    SetFileAttributesW((dir_ / L"tree" / L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(RemoveOwnFile(dir_ / L"tree"));             // not empty
    EXPECT_TRUE(RemoveOwnFile(dir_ / L"tree" / L"ro.txt"));  // read-only or not
    std::vector<std::filesystem::path> left;
    RemoveOwnTree(dir_ / L"tree", left);
    RemoveOwnTree(dir_ / L"gone already", left);
    EXPECT_TRUE(left.empty());
    EXPECT_FALSE(PathExists(dir_ / L"tree"));

    // What another program holds stays, and is listed through itself.
    WriteBytes(dir_ / L"busy" / L"held.dll", "h");
    UniqueFile holder(CreateFileW((dir_ / L"busy" / L"held.dll").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    RemoveOwnTree(dir_ / L"busy", left);
    EXPECT_EQ(left, std::vector<std::filesystem::path>{dir_ / L"busy" / L"held.dll"});
}

TEST_F(OwnFiles, MovesKeepTheirFlags) {
    WriteBytes(dir_ / L"new", "new");
    WriteBytes(dir_ / L"old", "old");
    EXPECT_FALSE(MoveOwnFile(dir_ / L"new", dir_ / L"old", 0));
    EXPECT_TRUE(MoveOwnFile(dir_ / L"new", dir_ / L"old", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(ReadBytes(dir_ / L"old"), "new");
    EXPECT_FALSE(MoveOwnFile(dir_ / L"missing", dir_ / L"x", 0));
}

TEST(SameFile, ByIdentityNotBySpelling) {
    ScratchDir dir;
    WriteBytes(dir / L"Zelk.exe", "z");
    WriteBytes(dir / L"Other.exe", "z");
    EXPECT_TRUE(SameFile(dir / L"Zelk.exe", dir / L"ZELK.EXE"));
    EXPECT_TRUE(SameFile(dir / L"Zelk.exe", dir / L"." / L"Zelk.exe"));
    EXPECT_FALSE(SameFile(dir / L"Zelk.exe", dir / L"Other.exe"));
    EXPECT_FALSE(SameFile(dir / L"Zelk.exe", dir / L"missing.exe"));
    EXPECT_FALSE(SameFile(dir / L"missing.exe", dir / L"missing.exe"));
}

TEST(PathExists, FilesAndFoldersOnly) {
    ScratchDir dir;
    WriteBytes(dir / L"f", "");
    EXPECT_TRUE(PathExists(dir / L"f"));
    EXPECT_TRUE(PathExists(dir.path()));
    EXPECT_FALSE(PathExists(dir / L"g"));
    EXPECT_FALSE(PathExists(dir / L"f" / L"below-a-file"));
}

}  // namespace
}  // namespace zelk

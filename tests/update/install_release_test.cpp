#include "update/install_release.h"

#include <gtest/gtest.h>

#include <string>

#include "support/scratch.h"

namespace zelk {
namespace {

using Urls = std::vector<std::wstring>;

TEST(ContentSources, ServingFolderFirstThenTheOtherServersReleaseFolder) {
    const Urls servers = {L"http://127.0.0.1:30110/updates", L"https://localhost/updates"};
    EXPECT_EQ(ContentSources(L"https://localhost/updates/beta", servers),
              (Urls{L"https://localhost/updates/beta", L"http://127.0.0.1:30110/updates/release"}));
    EXPECT_EQ(
        ContentSources(L"http://127.0.0.1:30110/updates/release", servers),
        (Urls{L"http://127.0.0.1:30110/updates/release", L"https://localhost/updates/release"}));
    EXPECT_EQ(ContentSources(L"http://127.0.0.1:9/u/latest", {L"http://127.0.0.1:9/u"}),
              (Urls{L"http://127.0.0.1:9/u/latest"}));
}

TEST(SpaceNeeded, WhatIsStillToFetchACopyPerFurtherPathAndTheStateFiles) {
    testing::ScratchDir root;
    const InstallPaths paths = MakeInstallPaths(root.path());
    const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
    const std::vector<ManifestFile> pending = {
        {L"a1", a, 10000},  // nothing of it here yet
        {L"a2", a, 10000},  // the same content at a second path: a copy
        {L"b", b, 9000},    // 5000 bytes of it in its partial file already
        {L"c", c, 100},     // whole in its partial file
    };
    ASSERT_TRUE(testing::WriteBytes(PartialFile(paths, pending[2]), std::string(5000, 'b')));
    ASSERT_TRUE(testing::WriteBytes(PartialFile(paths, pending[3]), std::string(100, 'c')));
    const std::uint64_t state = (1 << 20) + 256 * 7;  // for a release of 7 files
    EXPECT_EQ(SpaceNeeded(pending, 7, paths, 0), state + 10000 + 10000 + 4000);
    // In whole clusters of 4 KiB: 12 KiB a content of 10,000 bytes.
    EXPECT_EQ(SpaceNeeded(pending, 7, paths, 4096), state + 12288 + 12288 + (12288 - 8192));
}

TEST(SelectPendingFiles, OnlyWhatTheIndexAndTheDiskDoNotVouchFor) {
    testing::ScratchDir app;
    const std::string a(64, 'a'), b(64, 'b');
    const std::vector<ManifestFile> files = {
        {L"same.bin", a, 5},         // recorded, whole: stays
        {L"lib/changed.bin", b, 5},  // recorded with another digest
        {L"missing.bin", a, 5},      // recorded, deleted by the user
        {L"cut.bin", a, 5},          // recorded, cut short on disk
        {L"longer.bin", a, 5},       // recorded, grown on disk
        {L"new.bin", a, 5},          // never recorded, though a file is there
        {L"empty.bin", a, 0},        // recorded, empty as it should be
    };
    for (const wchar_t* name : {L"same.bin", L"lib/changed.bin", L"new.bin"}) {
        ASSERT_TRUE(testing::WriteBytes(app / name, "12345"));
    }
    ASSERT_TRUE(testing::WriteBytes(app / L"cut.bin", "123"));
    ASSERT_TRUE(testing::WriteBytes(app / L"longer.bin", "123456"));
    ASSERT_TRUE(testing::WriteBytes(app / L"empty.bin", ""));
    const InstalledIndex index = {{L"same.bin", a}, {L"lib/changed.bin", a}, {L"missing.bin", a},
                                  {L"cut.bin", a},  {L"longer.bin", a},      {L"empty.bin", a},
                                  {L"other.bin", a}};

    std::vector<std::wstring> pending;
    for (const ManifestFile& file :
         SelectPendingFiles(files, MatchPaths(index, files), app.path())) {
        pending.push_back(file.path);
    }
    EXPECT_EQ(pending, (std::vector<std::wstring>{L"lib/changed.bin", L"missing.bin", L"cut.bin",
                                                  L"longer.bin", L"new.bin"}));
}

TEST(SelectPendingFiles, AFolderWhereAFileBelongsIsNotTheFile) {
    testing::ScratchDir app;
    const std::string a(64, 'a');
    std::error_code ignored;
    std::filesystem::create_directories(app / L"data.pak", ignored);
    const std::vector<ManifestFile> files = {{L"data.pak", a, 0}};
    EXPECT_EQ(SelectPendingFiles(files, MatchPaths({{L"data.pak", a}}, files), app.path()).size(),
              1u);
}

TEST(SelectPendingFiles, WithoutAFileOnDiskNoSizeMatches) {
    testing::ScratchDir app;
    const std::string a(64, 'a');
    // All ones is what a manifest size that no file can have reads as.
    const std::vector<ManifestFile> files = {
        {L"huge.bin", a, UINT64_MAX},  // recorded, missing
        {L"folder", a, UINT64_MAX},    // recorded, a folder stands there
        {L"dir/x.bin", a, 1},          // recorded, a file stands where its folder belongs
        {L"whole.bin", a, 1},          // recorded, whole: stays
    };
    std::error_code ignored;
    std::filesystem::create_directories(app / L"folder", ignored);
    ASSERT_TRUE(testing::WriteBytes(app / L"dir", "1"));
    ASSERT_TRUE(testing::WriteBytes(app / L"whole.bin", "1"));
    const InstalledIndex index = {
        {L"huge.bin", a}, {L"folder", a}, {L"dir/x.bin", a}, {L"whole.bin", a}};
    std::vector<std::wstring> pending;
    for (const ManifestFile& file :
         SelectPendingFiles(files, MatchPaths(index, files), app.path())) {
        pending.push_back(file.path);
    }
    EXPECT_EQ(pending, (std::vector<std::wstring>{L"huge.bin", L"folder", L"dir/x.bin"}));
}

}  // namespace
}  // namespace zelk

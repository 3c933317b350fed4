#include "update/state_files.h"

#include <gtest/gtest.h>

#include "support/scratch.h"
#include "update/manifest.h"

namespace zelk {
namespace {

using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

Settings SettingsFrom(const std::string& content) {
    ScratchDir dir;
    WriteBytes(dir / L"launcher-settings.json", content);
    return ReadSettings(dir / L"launcher-settings.json");
}

// The rules of the text are the settings reader's own tests; here, only the file.
TEST(Settings, ReadFromTheFileWithDefaultsWhenMissingOrMalformed) {
    const Settings settings = SettingsFrom(R"({"channel":"beta","autoUpdate":false})");
    EXPECT_EQ(settings.channel, "beta");
    EXPECT_FALSE(settings.autoUpdate);
    const Settings malformed = SettingsFrom(R"({"channel":"beta","autoUpdate":false)");
    EXPECT_EQ(malformed.channel, "release");
    EXPECT_TRUE(malformed.autoUpdate);
    ScratchDir dir;
    const Settings missing = ReadSettings(dir / L"missing.json");
    EXPECT_EQ(missing.channel, "release");
    EXPECT_TRUE(missing.autoUpdate);
}

// A state file over 16 MiB is treated as unreadable: never loaded whole.
TEST(StateFiles, LargerThan16MiBReadsAsMissing) {
    constexpr size_t kCap = 16u << 20;
    ScratchDir dir;
    const std::string line = std::string(64, 'a') + " 1 a.txt\n";
    std::string index;
    while (index.size() + line.size() <= kCap) {
        index += line;
    }
    const std::string settings = R"({"channel":"beta","autoUpdate":false})";
    const std::string date = "2024-05-01T10:00:00Z\n";
    for (size_t padding : {kCap - index.size(), kCap - index.size() + 1}) {
        const bool fits = padding + index.size() <= kCap;
        SCOPED_TRACE(fits ? "exactly 16 MiB" : "one byte more");
        ASSERT_TRUE(WriteBytes(dir / L"index", index + std::string(padding, '\n')));
        EXPECT_EQ(ReadInstalledIndex(dir / L"index").size(), fits ? 1u : 0u);
        ASSERT_TRUE(
            WriteBytes(dir / L"settings",
                       settings + std::string(kCap - settings.size() + (fits ? 0 : 1), ' ')));
        EXPECT_EQ(ReadSettings(dir / L"settings").channel, fits ? "beta" : "release");
        ASSERT_TRUE(WriteBytes(dir / L"date",
                               date + std::string(kCap - date.size() + (fits ? 0 : 1), '\n')));
        EXPECT_EQ(ReadLastDate(dir / L"date"), fits ? "2024-05-01T10:00:00Z" : "");
    }
}

TEST(StateFiles, WrittenWithCrLfAndReadBack) {
    ScratchDir dir;
    const std::vector<ManifestFile> files = {
        {L"ZelkLauncher.exe", std::string(64, '1'), 1000},
        {L"data\\caf\u00E9 et th\u00E9.txt", std::string(64, '2'), 5},
        {L"lib/a b.dll", std::string(64, '3'), 0},
    };
    EXPECT_TRUE(WriteInstalledIndex(dir / L".zelk-installed", files));
    EXPECT_FALSE(WriteInstalledIndex(dir / L"missing" / L".zelk-installed", files));
    EXPECT_EQ(ReadBytes(dir / L".zelk-installed"),
              std::string(64, '1') + " 1000 ZelkLauncher.exe\r\n" + std::string(64, '2') +
                  " 5 data\\caf\xC3\xA9 et th\xC3\xA9.txt\r\n" + std::string(64, '3') +
                  " 0 lib/a b.dll\r\n");
    const InstalledIndex index = ReadInstalledIndex(dir / L".zelk-installed");
    EXPECT_EQ(index, (InstalledIndex{{L"ZelkLauncher.exe", std::string(64, '1')},
                                     {L"data\\caf\u00E9 et th\u00E9.txt", std::string(64, '2')},
                                     {L"lib/a b.dll", std::string(64, '3')}}));

    EXPECT_TRUE(WriteLastDate(dir / L".zelk-manifest", "2024-05-01T10:00:00Z"));
    EXPECT_EQ(ReadBytes(dir / L".zelk-manifest"), "2024-05-01T10:00:00Z\r\n");
    EXPECT_EQ(ReadLastDate(dir / L".zelk-manifest"), "2024-05-01T10:00:00Z");
    EXPECT_FALSE(std::filesystem::exists(dir / L".zelk-manifest.tmp"));
}

TEST(StateFiles, LaterIndexLineWinsAndMissingFilesAreEmpty) {
    ScratchDir dir;
    const std::string a(64, 'a'), b(64, 'b');
    WriteBytes(dir / L".zelk-installed", a + " 1 x.txt\r\n" + b + " 1 x.txt\r\n");
    EXPECT_EQ(ReadInstalledIndex(dir / L".zelk-installed"), (InstalledIndex{{L"x.txt", b}}));
    EXPECT_TRUE(ReadInstalledIndex(dir / L"absent").empty());
    EXPECT_EQ(ReadLastDate(dir / L"absent"), "");
    WriteBytes(dir / L".zelk-manifest", "2024-05-01T10:00:00Z   \r\n");
    EXPECT_EQ(ReadLastDate(dir / L".zelk-manifest"), "");
}

// Which entries are valid is the portable reader's own tests; here, only what the
// Windows side adds: paths in UTF-16, still in manifest order, invalid ones still out.
TEST(IndexJournal, AppendedLinesCountOverEarlierOnesAndStartOnALineOfTheirOwn) {
    ScratchDir dir;
    const std::filesystem::path index = dir / L".zelk-installed";
    const std::string old(64, 'a'), fresh(64, 'b'), other(64, 'c');
    // The last line was cut short by a crash: no line end after it.
    ASSERT_TRUE(WriteBytes(index, old + " 5 keep.txt\r\n" + old + " 5 data.bin"));
    {
        const IndexJournal journal = OpenIndexJournal(index);
        ASSERT_TRUE(AppendIndexLine(journal, {L"data.bin", fresh, 7}));
        ASSERT_TRUE(AppendIndexLine(journal, {L"lib/caf\u00E9.txt", other, 3}));
    }
    EXPECT_EQ(ReadBytes(index), old + " 5 keep.txt\r\n" + old + " 5 data.bin\r\n" + fresh +
                                    " 7 data.bin\r\n" + other + " 3 lib/caf\xC3\xA9.txt\r\n");
    const InstalledIndex read = ReadInstalledIndex(index);
    EXPECT_EQ(read.at(L"keep.txt"), old);
    EXPECT_EQ(read.at(L"data.bin"), fresh);
    EXPECT_EQ(read.at(L"lib/caf\u00E9.txt"), other);

    // A fresh installation has no index yet: the journal starts one.
    const std::filesystem::path none = dir / L"new" / L".zelk-installed";
    std::filesystem::create_directories(none.parent_path());
    {
        const IndexJournal journal = OpenIndexJournal(none);
        ASSERT_TRUE(AppendIndexLine(journal, {L"a.txt", fresh, 1}));
    }
    EXPECT_EQ(ReadBytes(none), fresh + " 1 a.txt\r\n");
    // Without a folder to hold it, nothing is recorded and nothing fails loudly.
    const IndexJournal nowhere = OpenIndexJournal(dir / L"missing" / L".zelk-installed");
    EXPECT_FALSE(AppendIndexLine(nowhere, {L"a.txt", fresh, 1}));
}

TEST(IndexJournal, ForgottenFilesAreRecordedWithNoContent) {
    ScratchDir dir;
    const std::filesystem::path index = dir / L".zelk-installed";
    const std::string old(64, 'a');
    ASSERT_TRUE(WriteBytes(index, old + " 5 keep.txt\r\n" + old + " 5 Data.bin\r\n"));
    {
        const IndexJournal journal = OpenIndexJournal(index);
        ASSERT_TRUE(ForgetInstalled(journal, {L"Data.bin"}));
        ASSERT_TRUE(ForgetInstalled(journal, {}));
    }
    const InstalledIndex read = ReadInstalledIndex(index);
    EXPECT_EQ(read.at(L"keep.txt"), old);
    EXPECT_EQ(read.at(L"Data.bin"), kNoDigest);  // still ours, but vouched for no more
    EXPECT_EQ(read.size(), 2u);
}

TEST(ManifestFiles, PathsComeAsUtf16InManifestOrder) {
    const std::string digest(64, 'c');
    JsonValue manifest;
    ASSERT_TRUE(parseJson(R"({"files":[
        {"path":"b.txt","sha256":")" +
                              digest + R"(","size":3},
        {"path":"app/../x.dll","sha256":")" +
                              digest + R"(","size":1},
        {"path":"a\u00e9.txt","sha256":")" +
                              digest + R"(","size":12.9},
        {"path":"caf\u00e9\\th\u00e9 vert.txt","sha256":")" +
                              digest + R"("}
    ]})",
                          manifest));
    const std::vector<ManifestFile> files = ReadManifestFiles(manifest);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].path, L"b.txt");
    EXPECT_EQ(files[0].size, 3u);
    EXPECT_EQ(files[1].path, L"a\u00E9.txt");
    EXPECT_EQ(files[1].size, 12u);
    EXPECT_EQ(files[2].path, L"caf\u00E9\\th\u00E9 vert.txt");
    EXPECT_EQ(files[2].size, 0u);
    EXPECT_EQ(files[2].sha256, digest);
}

}  // namespace
}  // namespace zelk

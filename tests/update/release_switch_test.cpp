#include "update/release_switch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "install/file_helpers.h"
#include "integrity/sha256.h"
#include "search_vectors.h"
#include "support/scratch.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::WriteBytes;

// --- the order of the steps -------------------------------------------------------------

// Steps that write down what they are asked, and fail where told to.
struct Recorder {
    std::vector<std::string> events;
    bool forgetFails = false;
    std::wstring placeFailsAt;

    SwitchSteps Steps() {
        return {[this](const std::vector<const ManifestFile*>& files) {
                    std::string event = "forget";
                    for (const ManifestFile* file : files) {
                        event.append(" ").append(WideToUtf8(file->path));
                    }
                    events.push_back(event);
                    return !forgetFails;
                },
                [this](const ManifestFile& file) {
                    events.push_back(std::string("place ").append(WideToUtf8(file.path)));
                    return file.path != placeFailsAt;
                },
                [this](const ManifestFile& file) {
                    events.push_back(std::string("record ").append(WideToUtf8(file.path)));
                }};
    }
};

struct SwitchOrder : ::testing::Test {
    const std::string a = std::string(64, 'a'), b = std::string(64, 'b');
    // a.txt and c.txt are installed (the index vouches for them), b.txt is new.
    const std::vector<ManifestFile> pending = {
        {L"a.txt", b, 1}, {L"b.txt", b, 1}, {L"c.txt", a, 1}};
    const PathMatch paths = MatchPaths({{L"a.txt", a}, {L"c.txt", b}}, pending);
    Recorder recorder;
};

TEST_F(SwitchOrder, OldRecordsGoFirstInOneWriteThenEachFileIsPlacedThenRecorded) {
    const SwitchProgress progress = SwitchFiles(pending, paths, recorder.Steps());
    EXPECT_TRUE(progress.complete);
    EXPECT_EQ(progress.placed, 3u);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{
                                   "forget a.txt c.txt", "place a.txt", "record a.txt",
                                   "place b.txt", "record b.txt", "place c.txt", "record c.txt"}));
}

TEST_F(SwitchOrder, NothingIsReplacedWhileTheIndexStillVouchesForTheOldContent) {
    recorder.forgetFails = true;
    const SwitchProgress progress = SwitchFiles(pending, paths, recorder.Steps());
    EXPECT_FALSE(progress.complete);
    EXPECT_EQ(progress.placed, 0u);
    EXPECT_EQ(progress.failed, &pending[0]);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"forget a.txt c.txt"});
}

TEST_F(SwitchOrder, AFileThatCannotBePlacedStopsTheSwitchUnrecorded) {
    recorder.placeFailsAt = L"b.txt";
    const SwitchProgress progress = SwitchFiles(pending, paths, recorder.Steps());
    EXPECT_FALSE(progress.complete);
    EXPECT_EQ(progress.placed, 1u);
    EXPECT_EQ(progress.failed, &pending[1]);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"forget a.txt c.txt", "place a.txt",
                                                         "record a.txt", "place b.txt"}));
}

TEST_F(SwitchOrder, AFirstInstallForgetsNothing) {
    const SwitchProgress progress = SwitchFiles(pending, MatchPaths({}, pending), recorder.Steps());
    EXPECT_TRUE(progress.complete);
    EXPECT_EQ(recorder.events.front(), "place a.txt");
}

// --- on disk ------------------------------------------------------------------------------

std::string Digest(std::string_view bytes) {
    return sha256Hex(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// Release 1 installed (ZelkLauncher.exe and lib/data.bin), release 2 (the signed
// "TwoFiles" vector) accepted, both of its contents whole in their partial files.
class SwitchOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        paths_ = MakeInstallPaths(scratch_.path());
        SetOwnRoot(paths_.root);
        for (const auto& [name, bytes] : kOld) {
            WriteBytes(paths_.appDir / name, bytes);
        }
        std::string index = Digest(kOld[0].second);
        index += " 6 ZelkLauncher.exe\r\n";
        index += Digest(kOld[1].second);
        index += " 7 lib/data.bin\r\n";
        WriteBytes(paths_.installedMarker, index);
        WriteBytes(paths_.manifestMarker, std::string(kOldDate).append("\r\n"));
        for (std::string_view bytes : {"MZ launcher", "data v2"}) {
            WriteBytes(paths_.partialDir / Utf8ToWide(Digest(bytes)), bytes);
        }
        pending_ = {Bytes(search_vectors::kTwoFilesManifest),
                    Bytes(search_vectors::kTwoFilesSignature)};
        JsonValue manifest;
        ASSERT_TRUE(parseJson(pending_.manifest, manifest));
        manifest_ = ReadReleaseManifest(manifest, paths_.appDir);
    }
    void TearDown() override { SetOwnRoot({}); }

    std::string Data() const { return ReadBytes(paths_.appDir / L"lib" / L"data.bin"); }
    std::string Launcher() const { return ReadBytes(paths_.launcherExe); }

    // Holds a file as a program that denies its deletion does.
    UniqueFile Hold(const fs::path& path) {
        return UniqueFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    }

    const std::pair<std::wstring, std::string> kOld[2] = {{L"ZelkLauncher.exe", "MZ old"},
                                                          {L"lib/data.bin", "data v1"}};
    const std::string kOldDate = "2025-01-01T00:00:00Z";
    testing::ScratchDir scratch_;
    InstallPaths paths_;
    PendingSwitch pending_;
    ReleaseManifest manifest_;
};

TEST_F(SwitchOnDisk, EveryFileThenTheStateThenTheRecordCleared) {
    EXPECT_TRUE(IsInstalled(paths_));
    const ReleasePlan plan = PlanRelease(manifest_, paths_);
    ASSERT_EQ(plan.pending.size(), 2u);
    EXPECT_EQ(FindBlockedFile(plan, paths_.appDir), nullptr);
    EXPECT_TRUE(SwitchRelease(plan, pending_, manifest_, paths_).complete);
    EXPECT_EQ(Launcher(), "MZ launcher");
    EXPECT_EQ(Data(), "data v2");
    EXPECT_EQ(ReadLastDate(paths_.manifestMarker), "2025-06-01T00:00:00Z");
    EXPECT_EQ(ReadInstalledIndex(paths_.installedMarker).size(), 2u);
    EXPECT_TRUE(PlanRelease(manifest_, paths_).pending.empty());
    EXPECT_FALSE(IsSwitchPending(paths_));
    EXPECT_TRUE(IsInstalled(paths_));
}

TEST_F(SwitchOnDisk, CutShortItIsFinishedByTheNextRunNeverCountedInstalledMeanwhile) {
    {
        UniqueFile held = Hold(paths_.appDir / L"lib" / L"data.bin");
        const SwitchOutcome outcome =
            SwitchRelease(PlanRelease(manifest_, paths_), pending_, manifest_, paths_);
        EXPECT_FALSE(outcome.complete);
        EXPECT_EQ(outcome.failedPath, L"lib/data.bin");
        EXPECT_FALSE(outcome.blocked);
    }
    // A mix of the two releases: no launcher counts as installed, the index vouches for
    // nothing it does not hold, and the date is the old release's.
    EXPECT_EQ(Launcher(), "MZ launcher");
    EXPECT_EQ(Data(), "data v1");
    EXPECT_FALSE(IsInstalled(paths_));
    const InstalledIndex index = ReadInstalledIndex(paths_.installedMarker);
    EXPECT_EQ(index.at(L"ZelkLauncher.exe"), Digest("MZ launcher"));
    EXPECT_EQ(index.at(L"lib/data.bin"), kNoDigest);
    EXPECT_EQ(ReadLastDate(paths_.manifestMarker), kOldDate);

    // Offline, the next run finishes it from the partial file it kept.
    EXPECT_EQ(FinishInterruptedSwitch(paths_, kOldDate), Interrupted::Finished);
    EXPECT_EQ(Data(), "data v2");
    EXPECT_TRUE(IsInstalled(paths_));
    EXPECT_EQ(ReadLastDate(paths_.manifestMarker), "2025-06-01T00:00:00Z");
    EXPECT_EQ(FinishInterruptedSwitch(paths_, kOldDate), Interrupted::None);
}

TEST_F(SwitchOnDisk, StoppedBeforeTheFirstReplacementTheInstalledReleaseStaysWhole) {
    UniqueFile held = Hold(paths_.launcherExe);
    EXPECT_FALSE(
        SwitchRelease(PlanRelease(manifest_, paths_), pending_, manifest_, paths_).complete);
    EXPECT_EQ(Launcher(), "MZ old");
    EXPECT_FALSE(IsSwitchPending(paths_));
    EXPECT_TRUE(IsInstalled(paths_));
}

TEST_F(SwitchOnDisk, AnIndexThatCannotForgetReplacesNothing) {
    const ReleasePlan plan = PlanRelease(manifest_, paths_);
    // Another program holds the index whole: the old records cannot go, so no file may.
    UniqueFile held(CreateFileW(paths_.installedMarker.c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_FALSE(SwitchRelease(plan, pending_, manifest_, paths_).complete);
    held.reset();
    EXPECT_EQ(Launcher(), "MZ old");
    EXPECT_EQ(Data(), "data v1");
    EXPECT_TRUE(IsInstalled(paths_));
}

TEST_F(SwitchOnDisk, AnUnverifiedOrIncompleteRecordIsNeverFinished) {
    ASSERT_TRUE(WritePendingSwitch(paths_, pending_));
    // What a cut-short run had put in place already is hashed and recorded, never fetched.
    WriteBytes(paths_.launcherExe, "MZ launcher");
    fs::remove(paths_.partialDir / Utf8ToWide(Digest("MZ launcher")));
    // Without the other file's content, no switch can be finished offline.
    fs::remove(paths_.partialDir / Utf8ToWide(Digest("data v2")));
    EXPECT_EQ(FinishInterruptedSwitch(paths_, kOldDate), Interrupted::Unfinished);
    EXPECT_FALSE(IsInstalled(paths_));
    EXPECT_EQ(ReadInstalledIndex(paths_.installedMarker).at(L"ZelkLauncher.exe"),
              Digest("MZ launcher"));

    WriteBytes(paths_.partialDir / Utf8ToWide(Digest("data v2")), "data v2");
    // A record older than the installed release, or not signed, is never finished.
    EXPECT_EQ(FinishInterruptedSwitch(paths_, "2025-06-01T00:00:01Z"), Interrupted::Unfinished);
    PendingSwitch forged = pending_;
    forged.manifest.back() = ' ';
    ASSERT_TRUE(WritePendingSwitch(paths_, forged));
    EXPECT_EQ(FinishInterruptedSwitch(paths_, kOldDate), Interrupted::Unfinished);
    EXPECT_EQ(Data(), "data v1");

    ASSERT_TRUE(WritePendingSwitch(paths_, pending_));
    EXPECT_EQ(FinishInterruptedSwitch(paths_, kOldDate), Interrupted::Finished);
    EXPECT_EQ(Data(), "data v2");
}

}  // namespace
}  // namespace zelk

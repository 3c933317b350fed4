// Release paths on disk: one key for every spelling of a file, what stands in a
// file's way and when it may be removed, the removal of dropped files under old
// spellings, and the message for a write that failed.

#include "update/release_paths.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <unordered_set>

#include "support/scratch.h"
#include "update/install_release.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

const std::string kDigest(64, 'a');

TEST(PathKeys, EverySpellingOfOneFileHasOneKey) {
    const std::pair<const wchar_t*, const wchar_t*> same[] = {
        {L"keep.txt", L"keep.txt."},
        {L"keep.txt", L"./keep.txt"},
        {L"keep.txt", L"KEEP.TXT  . "},
        {L"d/x", L"d//x"},
        {L"d/x", L"d/./x"},
        {L"d/x", L"D\\X"},
        {L"d/x", L"d./x"},
        {L"caf\u00e9.txt", L"CAF\u00c9.TXT"},
        {L"ZelkLauncher.exe", L"zelklauncher.exe."},
    };
    for (const auto& [a, b] : same) {
        SCOPED_TRACE(std::wstring(a) + L" / " + b);
        EXPECT_FALSE(PathKey(a).empty());
        EXPECT_EQ(PathKey(a), PathKey(b));
    }
    const std::pair<const wchar_t*, const wchar_t*> different[] = {
        {L"a b", L"a_b"}, {L"lib/a.dll", L"lib/a.dl"}, {L"d /x", L"d/x"}, {L"a..b", L"a.b"}};
    for (const auto& [a, b] : different) {
        SCOPED_TRACE(std::wstring(a) + L" / " + b);
        EXPECT_NE(PathKey(a), PathKey(b));
    }
    // Names that reach a device or leave the folder have no key: equal to nothing.
    for (const wchar_t* unusable : {L"COM1", L"aux.txt", L"PRN.", L"/x", L"../x", L"C:x", L""}) {
        EXPECT_EQ(PathKey(unusable), L"") << unusable;
    }
}

// Files below app, and folders for the entries that end with "/".
void Lay(const ScratchDir& app, const std::vector<const wchar_t*>& entries) {
    for (const wchar_t* entry : entries) {
        const std::wstring path = entry;
        if (path.ends_with(L"/")) {
            fs::create_directories(app / path);
        } else {
            ASSERT_TRUE(WriteBytes(app / path, "x"));
        }
    }
}

ManifestFile File(const wchar_t* path) {
    return {path, kDigest, 1};
}

std::vector<ManifestFile> Files(const std::vector<const wchar_t*>& paths) {
    std::vector<ManifestFile> files;
    for (const wchar_t* path : paths) {
        files.push_back(File(path));
    }
    return files;
}

struct MatchCase {
    const char* what;
    InstalledIndex index;
    std::vector<const wchar_t*> listed;
    std::vector<std::string> recorded;  // for each listed file, "" when none
    std::vector<std::wstring> droppedPaths;
};

TEST(MatchPaths, EachIndexLineVouchesForTheFileItSpellsOrIsDropped) {
    const std::string a(64, 'a'), b(64, 'b');
    const MatchCase cases[] = {
        {"the release's own spelling first, though another comes later",
         {{L"KEEP.TXT", a}, {L"keep.txt", b}},
         {L"KEEP.TXT"},
         {a},
         {}},
        {"the release's own spelling first, though another comes earlier",
         {{L"KEEP.TXT", a}, {L"keep.txt", b}},
         {L"keep.txt"},
         {b},
         {}},
        {"without its own spelling, the last other one",
         {{L"D//X", a}, {L"d/./x", b}},
         {L"d/x"},
         {b},
         {}},
        {"separators, trailing dots and spaces, letter case",
         {{L"lib\\A.dll. ", a}, {L"./Docs/./readme", b}},
         {L"lib/a.dll", L"docs/README"},
         {a, b},
         {}},
        {"a file never recorded", {{L"other", a}}, {L"new.bin"}, {""}, {L"other"}},
        {"every spelling of a dropped file, in the index's order",
         {{L"OLD.dll", a}, {L"keep", a}, {L"old.dll.", b}},
         {L"keep"},
         {a},
         {L"OLD.dll", L"old.dll."}},
        {"lines that name nothing usable neither vouch nor go",
         {{L"COM1", a}, {L"../x", a}, {L"C:x", a}, {L"/x", a}, {L"x", b}},
         {L"x"},
         {b},
         {}},
        {"a recorded file where the release now has a folder, and the reverse",
         {{L"plugins", a}, {L"mods/a.txt", a}},
         {L"plugins/p.dll", L"mods"},
         {"", ""},
         {L"mods/a.txt", L"plugins"}},
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<ManifestFile> listed = Files(c.listed);
        const PathMatch match = MatchPaths(c.index, listed);
        ASSERT_EQ(match.keys.size(), listed.size());
        std::vector<std::string> recorded;
        for (const std::wstring& key : match.keys) {
            const auto found = match.recorded.find(key);
            recorded.push_back(found == match.recorded.end() ? "" : found->second);
        }
        EXPECT_EQ(recorded, c.recorded);
        EXPECT_EQ(match.droppedPaths, c.droppedPaths);
        std::unordered_set<std::wstring> dropped;
        for (const std::wstring& path : c.droppedPaths) {
            dropped.insert(PathKey(path));
        }
        EXPECT_EQ(match.dropped, dropped);
    }
}

TEST(MatchPaths, EverySpellingThatNamesAContentIsForgottenBeforeAReplacement) {
    const std::string a(64, 'a'), b(64, 'b');
    const InstalledIndex index{
        {L"./keep.txt", kNoDigest}, {L"KEEP.TXT", a}, {L"keep.txt", b}, {L"other", a}};
    const PathMatch match = MatchPaths(index, Files({L"keep.txt", L"new.bin"}));
    const std::unordered_map<std::wstring, std::vector<std::wstring>> vouching{
        {PathKey(L"keep.txt"), {L"KEEP.TXT", L"keep.txt"}}};
    EXPECT_EQ(match.vouching, vouching);
}

struct WayCase {
    const char* what;
    std::vector<const wchar_t*> onDisk;  // files (a trailing "/" makes a folder)
    InstalledIndex index;
    std::vector<const wchar_t*> listed;  // the new release, the written file first
    bool cleared;
    std::vector<const wchar_t*> gone;  // removed to clear the way
    std::vector<const wchar_t*> kept;
};

TEST(ClearTheWay, RemovesOnlyWhatTheIndexRecordsAndTheReleaseDropped) {
    const WayCase cases[] = {
        {"nothing in the way", {L"lib/"}, {}, {L"lib/a.dll"}, true, {}, {L"lib"}},
        {"a recorded file where a folder is needed",
         {L"plugins"},
         {{L"plugins", kDigest}},
         {L"plugins/p.dll"},
         true,
         {L"plugins"},
         {}},
        {"a recorded file under another spelling",
         {L"plugins"},
         {{L"Plugins.", kDigest}},
         {L"PLUGINS/p.dll"},
         true,
         {L"plugins"},
         {}},
        {"the user's own file where a folder is needed",
         {L"plugins"},
         {},
         {L"plugins/p.dll"},
         false,
         {},
         {L"plugins"}},
        {"a recorded file that the release still lists",
         {L"plugins"},
         {{L"plugins", kDigest}},
         {L"plugins/p.dll", L"plugins"},
         false,
         {},
         {L"plugins"}},
        {"a folder of dropped files where the file belongs",
         {L"mods/a.txt", L"mods/sub/b.txt", L"mods/sub/b.txt.tmp", L"mods/empty/"},
         {{L"mods/a.txt", kDigest}, {L"mods\\sub\\b.txt", kDigest}},
         {L"mods"},
         true,
         {L"mods"},
         {}},
        {"a folder holding a file of the user's",
         {L"mods/a.txt", L"mods/save.txt"},
         {{L"mods/a.txt", kDigest}},
         {L"mods"},
         false,
         {},
         {L"mods/a.txt", L"mods/save.txt"}},
        {"a folder holding a file the release still lists",
         {L"mods/a.txt"},
         {{L"mods/a.txt", kDigest}},
         {L"mods", L"mods/a.txt"},
         false,
         {},
         {L"mods/a.txt"}},
        {"an existing file is replaced by the write, not removed",
         {L"a.txt"},
         {{L"a.txt", kDigest}},
         {L"a.txt"},
         true,
         {},
         {L"a.txt"}},
    };
    for (const WayCase& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir app;
        ASSERT_NO_FATAL_FAILURE(Lay(app, c.onDisk));
        std::vector<ManifestFile> listed;
        for (const wchar_t* path : c.listed) {
            listed.push_back(File(path));
        }
        EXPECT_EQ(ClearTheWay(app.path(), listed.front(), MatchPaths(c.index, listed)), c.cleared);
        for (const wchar_t* path : c.gone) {
            EXPECT_FALSE(fs::exists(app / path)) << fs::path(path);
        }
        for (const wchar_t* path : c.kept) {
            EXPECT_TRUE(fs::exists(app / path)) << fs::path(path);
        }
    }
}

TEST(ClearTheWay, TheLaunchersFolderItselfAFileIsAConflict) {
    ScratchDir root;
    ASSERT_TRUE(WriteBytes(root / L"app", "not a folder"));
    const std::vector<ManifestFile> listed = {File(L"a.txt")};
    EXPECT_EQ(FindObstacle(root / L"app", L"a.txt").obstacle, Obstacle::FileForFolder);
    EXPECT_FALSE(
        ClearTheWay(root / L"app", listed.front(), MatchPaths({{L"a.txt", kDigest}}, listed)));
    EXPECT_EQ(ReadBytes(root / L"app"), "not a folder");
}

struct FolderCase {
    const char* what;
    std::vector<const wchar_t*> onDisk;  // files (a trailing "/" makes a folder)
    const wchar_t* path;
    bool clear;
};

TEST(FoldersAreClear, OnlyRealFoldersOnTheWay) {
    const FolderCase cases[] = {
        {"a file in the launcher's folder itself", {}, L"a.txt", true},
        {"folders that exist", {L"d/e/"}, L"d/e/f.txt", true},
        {"the same folders respelled", {L"d/e/"}, L"D//./E./f.txt", true},
        {"a file standing there already does not matter", {L"d/f.txt"}, L"d/f.txt", true},
        {"a folder not made", {L"d/"}, L"d/e/f.txt", false},
        {"a file where the folder belongs", {L"d"}, L"d/f.txt", false},
        {"a file deeper down", {L"d/e"}, L"d/e/f.txt", false},
        {"a path that names nothing usable", {}, L"../f.txt", false},
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir app;
        ASSERT_NO_FATAL_FAILURE(Lay(app, c.onDisk));
        CheckedFolders checked;
        EXPECT_EQ(FoldersAreClear(app.path(), c.path, checked), c.clear);
    }
}

TEST(FoldersAreClear, EachFolderIsLookedAtOncePerRun) {
    ScratchDir app;
    fs::create_directories(app / L"d/e");
    CheckedFolders checked;
    ASSERT_TRUE(FoldersAreClear(app.path(), L"d/e/1.txt", checked));
    // Replaced behind the run's back: this run goes by what it found, a new one looks.
    fs::remove_all(app / L"d");
    ASSERT_TRUE(WriteBytes(app / L"d", "x"));
    EXPECT_TRUE(FoldersAreClear(app.path(), L"D/E/2.txt", checked));
    CheckedFolders fresh;
    EXPECT_FALSE(FoldersAreClear(app.path(), L"d/e/2.txt", fresh));
}

TEST(FindObstacle, NamesWhatStandsInTheWay) {
    ScratchDir app;
    ASSERT_TRUE(WriteBytes(app / L"file", "x"));
    ASSERT_TRUE(WriteBytes(app / L"dir/inner.txt", "x"));
    EXPECT_EQ(FindObstacle(app.path(), L"new/deeper/x.txt").obstacle, Obstacle::None);
    EXPECT_EQ(FindObstacle(app.path(), L"file").obstacle, Obstacle::None);
    const InTheWay fileForFolder = FindObstacle(app.path(), L"FILE/x/y.txt");
    EXPECT_EQ(fileForFolder.obstacle, Obstacle::FileForFolder);
    EXPECT_EQ(fileForFolder.path, L"FILE");
    const InTheWay folderForFile = FindObstacle(app.path(), L"dir");
    EXPECT_EQ(folderForFile.obstacle, Obstacle::FolderForFile);
    EXPECT_EQ(folderForFile.path, L"dir");
}

TEST(RemoveObsoleteFiles, OldSpellingsOfCurrentFilesStayDroppedFilesGo) {
    ScratchDir root;
    const fs::path app = root / L"app";
    for (const wchar_t* path :
         {L"keep.txt", L"d/x", L"ZelkLauncher.exe", L"old.dll", L"gone.txt"}) {
        ASSERT_TRUE(WriteBytes(app / path, "x"));
    }
    ASSERT_TRUE(WriteBytes(root / L"user.txt", "x"));  // outside the launcher's folder
    const InstalledIndex index = {
        {L"keep.txt.", kDigest},
        {L"./keep.txt", kDigest},
        {L"d//x", kDigest},
        {L"d/./x", kDigest},
        {L"ZELKLAUNCHER.EXE ", kDigest},
        {L"./zelklauncher.exe", kDigest},
        {L"old.dll.", kDigest},
        {L"gone.txt", kDigest},
        {L"COM1", kDigest},
        {L"../user.txt", kDigest},
        {L"C:user.txt", kDigest},
    };
    RemoveObsoleteFiles(
        MatchPaths(index, {File(L"keep.txt"), File(L"d/x"), File(L"ZelkLauncher.exe")}), app);
    for (const wchar_t* kept : {L"keep.txt", L"d/x", L"ZelkLauncher.exe"}) {
        EXPECT_TRUE(fs::exists(app / kept)) << fs::path(kept);
    }
    EXPECT_TRUE(fs::exists(root / L"user.txt"));
    for (const wchar_t* gone : {L"old.dll", L"gone.txt"}) {
        EXPECT_FALSE(fs::exists(app / gone)) << fs::path(gone);
    }
}

TEST(RemoveObsoleteFiles, WhatTookADroppedFilesPlaceStays) {
    ScratchDir app;
    // plugins was a file and is a folder now; mods was a folder and is a file.
    for (const wchar_t* path : {L"plugins/p.dll", L"mods", L"gone.txt"}) {
        ASSERT_TRUE(WriteBytes(app / path, "x"));
    }
    const InstalledIndex index = {{L"plugins", kDigest},
                                  {L"mods/a.txt", kDigest},
                                  {L"MODS\\a.txt.", kDigest},
                                  {L"gone.txt", kDigest}};
    RemoveObsoleteFiles(MatchPaths(index, Files({L"plugins/p.dll", L"mods"})), app.path());
    EXPECT_EQ(ReadBytes(app / L"plugins/p.dll"), "x");
    EXPECT_EQ(ReadBytes(app / L"mods"), "x");
    EXPECT_FALSE(fs::exists(app / L"gone.txt"));
}

TEST(SelectPendingFiles, AnIndexLineUnderAnotherSpellingVouchesForTheFile) {
    ScratchDir app;
    ASSERT_TRUE(WriteBytes(app / L"d/x", "x"));
    ASSERT_TRUE(WriteBytes(app / L"keep.txt", "x"));
    const std::vector<ManifestFile> files = {File(L"d/x"), File(L"keep.txt")};
    const InstalledIndex index = {{L"d//x", kDigest}, {L"KEEP.txt.", std::string(64, 'b')}};
    const std::vector<ManifestFile> pending =
        SelectPendingFiles(files, MatchPaths(index, files), app.path());
    ASSERT_EQ(pending.size(), 1u);  // keep.txt: recorded, but with another digest
    EXPECT_EQ(pending[0].path, L"keep.txt");
}

TEST(ReadManifestFiles, TheFirstEntryForAFileWinsAndTooLongPathsAreSkipped) {
    const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
    auto element = [](const std::string& path, const std::string& digest) {
        return R"({"path":")" + path + R"(","sha256":")" + digest + R"(","size":1})";
    };
    const std::string longName(200, 'n');
    JsonValue manifest;
    ASSERT_TRUE(parseJson(R"({"files":[)" + element("Dup.txt", a) + "," + element("dup.TXT", b) +
                              "," + element("lib/x", a) + "," + element("LIB/X", c) + "," +
                              element(longName, a) + "," + element("other.txt", c) + "]}",
                          manifest));
    std::vector<std::pair<std::wstring, std::string>> read;
    for (const ManifestFile& file : ReadManifestFiles(manifest, fs::path(std::wstring(60, L'r')))) {
        read.emplace_back(file.path, file.sha256);
    }
    // 60 + 1 + 200 + ".tmp" is more than Windows opens; with no folder it fits.
    EXPECT_EQ(read, (std::vector<std::pair<std::wstring, std::string>>{
                        {L"Dup.txt", a}, {L"lib/x", a}, {L"other.txt", c}}));
    EXPECT_EQ(ReadManifestFiles(manifest).size(), 4u);
}

TEST(ReadManifestFiles, ABlockMapDigestComesAlong) {
    const std::string digest(64, 'a'), map(64, 'b');
    JsonValue manifest;
    ASSERT_TRUE(parseJson(R"({"files":[{"path":"big.pak","sha256":")" + digest +
                              R"(","size":2000000,"blocks":")" + map +
                              R"("},{"path":"x","sha256":")" + digest + R"(","size":1}]})",
                          manifest));
    const std::vector<ManifestFile> files = ReadManifestFiles(manifest);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].path, L"big.pak");
    EXPECT_EQ(files[0].size, 2000000u);
    EXPECT_EQ(files[0].blocks, map);
    EXPECT_EQ(files[1].blocks, "");
}

struct DetailCase {
    DWORD error;
    bool blocked;
    std::wstring detail;
};

TEST(WriteFailureDetail, LockedOnlyWhenClosingAProgramCouldHelp) {
    const std::wstring locked = L"Fichier verrouillé : ferme le launcher puis relance.";
    const std::wstring full = L"Espace disque insuffisant : libère de la place puis relance.";
    const std::wstring conflict =
        L"Conflit de fichiers : plugins/p.dll existe déjà sous une autre forme.";
    const DetailCase cases[] = {
        {ERROR_SHARING_VIOLATION, false, locked}, {ERROR_ACCESS_DENIED, false, locked},
        {ERROR_LOCK_VIOLATION, false, locked},    {ERROR_DISK_FULL, false, full},
        {ERROR_HANDLE_DISK_FULL, true, full},     {ERROR_ACCESS_DENIED, true, conflict},
        {ERROR_PATH_NOT_FOUND, true, conflict},   {0, true, conflict},
    };
    for (const DetailCase& c : cases) {
        EXPECT_EQ(WriteFailureDetail(c.error, c.blocked, L"plugins/p.dll"), c.detail)
            << c.error << " " << c.blocked;
    }
}

}  // namespace
}  // namespace zelk

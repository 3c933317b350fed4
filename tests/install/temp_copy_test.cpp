// Temporary copies of the program: each in a new folder of its own that no one could
// guess, nothing left behind when the copy fails, and the remover refusing any folder
// that is not such a one (a "--renommer-dossier" run by hand from a Downloads folder
// must never remove it).

#include "install/temp_copy.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "install/file_helpers.h"
#include "support/scratch.h"

namespace zelk {
namespace {

using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

std::set<std::wstring> FreshFolders() {
    std::set<std::wstring> names;
    for (const auto& entry : std::filesystem::directory_iterator(UserTempFolder())) {
        const std::wstring name = entry.path().filename().native();
        if (name.rfind(L"Zelk-", 0) == 0) {
            names.insert(name);
        }
    }
    return names;
}

class TempCopy : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(WriteBytes(source_, "MZ program bytes")); }
    void TearDown() override {
        for (const std::filesystem::path& copy : copies_) {
            testing::RemoveTree(copy.parent_path());
        }
    }
    std::filesystem::path Copy() {
        const std::filesystem::path copy = CopyToFreshTempFolder(source_, L"Zelk-test.exe");
        if (!copy.empty()) {
            copies_.push_back(copy);
        }
        return copy;
    }

    ScratchDir scratch_;
    std::filesystem::path source_ = scratch_ / L"Zelk.exe";
    std::vector<std::filesystem::path> copies_;
};

TEST_F(TempCopy, EachCopyInANewFolderWithA128BitName) {
    const std::filesystem::path first = Copy(), second = Copy();
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first.parent_path(), second.parent_path());
    for (const std::filesystem::path& copy : {first, second}) {
        EXPECT_EQ(copy.filename(), L"Zelk-test.exe");
        EXPECT_EQ(ReadBytes(copy), "MZ program bytes");
        EXPECT_TRUE(std::regex_match(copy.parent_path().filename().string(),
                                     std::regex("Zelk-[0-9a-f]{32}")));
        EXPECT_TRUE(SameFile(copy.parent_path().parent_path(), UserTempFolder()));
        EXPECT_TRUE(IsFreshTempFolder(copy.parent_path()));
    }
}

TEST_F(TempCopy, AFailedCopyLeavesNoFolder) {
    const std::set<std::wstring> before = FreshFolders();
    EXPECT_TRUE(CopyToFreshTempFolder(scratch_ / L"missing.exe", L"Zelk-test.exe").empty());
    EXPECT_EQ(FreshFolders(), before);
}

TEST_F(TempCopy, OnlyItsOwnKindOfFolderIsEverRemoved) {
    const std::filesystem::path copy = Copy();
    ASSERT_FALSE(copy.empty());
    const std::wstring name = copy.parent_path().filename().native();
    const std::filesystem::path nested = scratch_ / name;  // the right name elsewhere
    std::filesystem::create_directories(nested);
    std::wstring upper = name;
    upper.back() = L'F';
    for (const std::filesystem::path& folder : {
             scratch_.path(),                    // a Downloads folder
             nested,                             // the name, not under the temporary folder
             UserTempFolder(),                   // the temporary folder itself
             UserTempFolder() / upper,           // not the lower-case digits it is made with
             UserTempFolder() / name.substr(1),  // one character short
             copy,                               // the program, not its folder
         }) {
        SCOPED_TRACE(folder.native());
        EXPECT_FALSE(IsFreshTempFolder(folder));
        EXPECT_FALSE(RemoveFolderAfterExit(folder));
    }
    EXPECT_TRUE(std::filesystem::exists(nested));
    EXPECT_TRUE(std::filesystem::exists(copy));
}

}  // namespace
}  // namespace zelk

#include "update/install_release.h"

#include <gtest/gtest.h>

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

TEST(RelativePaths, SameFileWhateverTheCaseOrSeparator) {
    EXPECT_TRUE(SameRelativePath(L"lib/A.dll", L"LIB\\a.DLL"));
    EXPECT_TRUE(SameRelativePath(L"caf\u00E9.txt", L"CAF\u00C9.TXT"));
    EXPECT_FALSE(SameRelativePath(L"lib/a.dll", L"lib/a.dl"));
    EXPECT_FALSE(SameRelativePath(L"lib/a.dll", L"lib/b.dll"));
    EXPECT_FALSE(SameRelativePath(L"a b", L"a_b"));
}

}  // namespace
}  // namespace zelk

#include "update/path_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "path_cases.h"
#include "path_model.h"

namespace zelk {
namespace {

// UTF-8 to code points in wchar_t (UTF-16 under Windows, UTF-32 natively; the
// table holds no character beyond the first plane).
std::wstring Widen(std::string_view utf8) {
    std::wstring wide;
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : 3;
        unsigned point = length == 1 ? lead : length == 2 ? lead & 0x1F : lead & 0x0F;
        for (size_t k = 1; k < length; ++k) {
            point = point << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        wide += static_cast<wchar_t>(point);
        i += length;
    }
    return wide;
}

TEST(PathRules, EveryCaseHasItsVerdictInUtf8AndUtf16) {
    for (const testing::PathCase& c : testing::kPathCases) {
        SCOPED_TRACE(std::string(c.path));
        EXPECT_EQ(JudgePath(c.path), c.verdict);
        EXPECT_EQ(JudgePath(std::wstring_view(Widen(c.path))), c.verdict);
        EXPECT_EQ(IsSafeRelativePath(c.path), c.verdict == PathVerdict::Usable);
        // The fuzz target's model agrees with the table it is seeded from.
        EXPECT_EQ(testing::ModelVerdict(std::string(c.path)), c.verdict);
    }
}

TEST(PathRules, EveryCaseResolvesAsWindowsDoes) {
    for (const testing::PathCase& c : testing::kPathCases) {
        SCOPED_TRACE(std::string(c.path));
        EXPECT_EQ(ResolvedPath(c.path), c.resolved);
        EXPECT_EQ(ResolvedPath(std::wstring_view(Widen(c.path))), Widen(c.resolved));
        EXPECT_EQ(testing::ModelResolved(std::string(c.path)), c.resolved);
    }
}

TEST(PathRules, ControlCharactersIncludeTheZero) {
    // A zero would cut the path short where Windows reads it.
    EXPECT_EQ(JudgePath(std::string_view("a\0/../../x", 10)), PathVerdict::ParentStep);
    EXPECT_EQ(JudgePath(std::string_view("a\0b", 3)), PathVerdict::ForbiddenCharacter);
    EXPECT_EQ(JudgePath(std::wstring_view(L"a\0b", 3)), PathVerdict::ForbiddenCharacter);
}

struct LengthCase {
    size_t folder;
    size_t file;    // characters of the file name
    size_t nested;  // characters of one folder name before it, 0 for none
    bool fits;
};

TEST(PathRules, LengthCountsTheFolderTheSeparatorAndTheTemporarySuffix) {
    // folder + "\" + path + ".tmp" must stay within 259, the folders within 247.
    const LengthCase cases[] = {
        {100, 154, 0, true},
        {100, 155, 0, false},
        {0, 254, 0, true},
        {0, 255, 0, false},
        // The file would fit; its folder would not.
        {200, 5, 46, true},
        {200, 5, 47, false},
        {150, 6, 96, true},
        {150, 6, 97, false},
        {259, 1, 0, false},
    };
    for (const LengthCase& c : cases) {
        std::string path = c.nested ? std::string(c.nested, 'd') + "/" : "";
        path += std::string(c.file, 'f');
        SCOPED_TRACE(::testing::Message() << c.folder << " + " << path.size());
        EXPECT_EQ(FitsBelow(c.folder, std::string_view(path)), c.fits);
        EXPECT_EQ(FitsBelow(c.folder, std::wstring_view(Widen(path))), c.fits);
    }
}

}  // namespace
}  // namespace zelk

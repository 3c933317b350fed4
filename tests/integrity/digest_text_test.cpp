#include "integrity/digest_text.h"

#include <gtest/gtest.h>

#include <string>

namespace zelk {
namespace {

// 64 characters made of a start and the padding a hostile manifest would use to reach
// the length a digest has.
std::string Padded(std::string start, std::string pad) {
    while (start.size() < kDigestTextLength) {
        start += pad;
    }
    return start.substr(0, kDigestTextLength);
}

struct DigestCase {
    std::string text;
    bool digest;
};

TEST(DigestText, OnlySixtyFourLowerCaseHexadecimalCharactersAreADigest) {
    const std::string good = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    const DigestCase cases[] = {
        {good, true},
        {std::string(64, '0'), true},  // the index's "no content" digest
        {std::string(64, 'f'), true},
        {"", false},
        {good.substr(1), false},
        {good + "0", false},
        {std::string(64, 'F'), false},  // upper case: a digest is written one way only
        {"0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef", false},
        {Padded("0123456789abcdef", "g"), false},
        {Padded("..\\..\\..\\..\\Documents\\", "\\."), false},
        {Padded("../../../etc/", "./"), false},
        {Padded("Z:\\home\\user\\thesis.docx", " "), false},
        {Padded("%2e%2e%2f", "0"), false},
        {Padded("abc", std::string("\0", 1)), false},
        {Padded("abc", " "), false},
        {Padded("\xC3\xA9", "0"), false},  // é in UTF-8
    };
    for (const DigestCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(IsDigestText(c.text), c.digest);
        // The same rule for names read back from the disk.
        const std::wstring wide(c.text.begin(), c.text.end());
        EXPECT_EQ(IsDigestText(wide), c.digest);
    }
}

TEST(DigestText, CharactersBeyondAsciiNeverPassForDigits) {
    // A full-width digit, or a letter whose low byte is a hexadecimal digit.
    std::wstring text(64, L'0');
    for (const wchar_t c : {L'\uFF10', L'\u0130', L'\u0161', L'\u2070'}) {
        text[10] = c;
        EXPECT_FALSE(IsDigestText(text)) << static_cast<unsigned>(c);
    }
}

}  // namespace
}  // namespace zelk

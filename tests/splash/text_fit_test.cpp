// The size a splash line is drawn in: its own when it fits, smaller down to 80 %, else
// 80 % and cut; with widths that grow in proportion to the size and with widths that
// do not quite (a fixed part, as kerning and hinting give). And where the cut falls.

#include "splash/text_fit.h"

#include <gtest/gtest.h>

#include <string>

namespace zelk {
namespace {

struct Measured {
    float perPixel = 0.0f;  // width per pixel of font size
    float fixed = 0.0f;     // width that does not shrink with the size
    int calls = 0;
    float operator()(float size) {
        ++calls;
        return perPixel * size + fixed;
    }
};

TextFit Fit(float size, float available, Measured& measured) {
    return FitText(size, available, [&measured](float s) { return measured(s); });
}

TEST(TextFit, AFittingTextKeepsItsSizeAndIsMeasuredOnce) {
    Measured measured{30.0f};  // 360 wide at 12
    EXPECT_EQ(Fit(12.0f, 453.0f, measured).size, 12.0f);
    EXPECT_EQ(measured.calls, 1);
    Measured exact{37.75f};  // exactly the line
    const TextFit fit = Fit(12.0f, 453.0f, exact);
    EXPECT_EQ(fit.size, 12.0f);
    EXPECT_FALSE(fit.ellipsis);
}

TEST(TextFit, ALittleTooWideShrinksJustEnough) {
    Measured proportional{40.0f};  // 480 wide at 12: fits at 11.325
    const TextFit fit = Fit(12.0f, 453.0f, proportional);
    EXPECT_FALSE(fit.ellipsis);
    EXPECT_LE(proportional.perPixel * fit.size, 453.0f);
    EXPECT_GT(fit.size, 11.2f);  // no more than a percent below what fits
    EXPECT_LE(proportional.calls, 3);

    // A fixed part makes the proportional guess too large: it is lowered until it fits.
    Measured uneven{38.0f, 20.0f};  // 476 wide at 12
    const TextFit lowered = Fit(12.0f, 453.0f, uneven);
    EXPECT_FALSE(lowered.ellipsis);
    EXPECT_LE(uneven.perPixel * lowered.size + uneven.fixed, 453.0f);
    EXPECT_GE(lowered.size, 12.0f * kSmallestTextScale);
    EXPECT_GT(lowered.size, (453.0f - 20.0f) / 38.0f * 0.99f);
}

TEST(TextFit, NeverBelowEightyPercentThenCut) {
    Measured atTheLimit{47.18f};  // fits just above 80 % (9.6 px)
    const TextFit smallest = Fit(12.0f, 453.0f, atTheLimit);
    EXPECT_NEAR(smallest.size, 9.6f, 0.01f);
    EXPECT_FALSE(smallest.ellipsis);

    Measured far{80.0f};  // 960 wide: would need 47 %
    const TextFit cut = Fit(12.0f, 453.0f, far);
    EXPECT_FLOAT_EQ(cut.size, 9.6f);
    EXPECT_TRUE(cut.ellipsis);
    EXPECT_LE(far.calls, 27);

    Measured nothing{1.0f};
    EXPECT_TRUE(Fit(12.0f, 0.0f, nothing).ellipsis);  // no room at all
}

// Ten pixels a code unit, the ellipsis included.
float TenEach(const std::wstring& text) {
    return 10.0f * static_cast<float>(text.size());
}

TEST(CutWithEllipsis, TheLongestBeginningThatFitsWithItsEllipsis) {
    EXPECT_EQ(CutWithEllipsis(L"abcdef", 45.0f, TenEach), L"abc\u2026");
    EXPECT_EQ(CutWithEllipsis(L"abcdef", 50.0f, TenEach), L"abcd\u2026");
    EXPECT_EQ(CutWithEllipsis(L"ab   cdef", 55.0f, TenEach), L"ab\u2026");  // no space before it
    EXPECT_EQ(CutWithEllipsis(L"abcdef", 5.0f, TenEach), L"\u2026");        // not one character
    // A surrogate pair is one character: never cut between its halves.
    const std::wstring pair = {L'a', wchar_t(0xD83D), wchar_t(0xDE00), L'b'};
    EXPECT_EQ(CutWithEllipsis(pair, 30.0f, TenEach), L"a\u2026");
    EXPECT_EQ(CutWithEllipsis(pair, 40.0f, TenEach), pair.substr(0, 3) + L"\u2026");
}

}  // namespace
}  // namespace zelk

#include "splash/render.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "splash/status.h"

namespace zelk {
namespace {

constexpr Gdiplus::ARGB kCard = 0xFF172133;
constexpr Gdiplus::ARGB kTrack = 0xCCF1ECDA;
constexpr Gdiplus::ARGB kFill = 0xCCF3CD76;

// A translucent colour drawn over the opaque card.
constexpr Gdiplus::ARGB Over(Gdiplus::ARGB top, Gdiplus::ARGB under = kCard) {
    const unsigned alpha = top >> 24;
    Gdiplus::ARGB result = 0xFF000000;
    for (int shift = 0; shift < 24; shift += 8) {
        const unsigned t = (top >> shift) & 0xFF, u = (under >> shift) & 0xFF;
        result |= ((t * alpha + u * (255 - alpha) + 127) / 255) << shift;
    }
    return result;
}
constexpr Gdiplus::ARGB kTrackOnCard = Over(kTrack);
constexpr Gdiplus::ARGB kFillOnCard = Over(kFill, kTrackOnCard);  // over the track

bool Near(Gdiplus::ARGB actual, Gdiplus::ARGB expected, int tolerance = 3) {
    for (int shift = 0; shift < 32; shift += 8) {
        const int a = (actual >> shift) & 0xFF, e = (expected >> shift) & 0xFF;
        if (std::abs(a - e) > tolerance) {
            return false;
        }
    }
    return true;
}

class Render : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    }
    static void TearDownTestSuite() { Gdiplus::GdiplusShutdown(token_); }

    void TearDown() override {
        UiScale = 1.0;
        SplashLogo = nullptr;
        SplashFonts = nullptr;
    }

    // Draws one frame of the current scale with the given progress.
    std::unique_ptr<Gdiplus::Bitmap> Frame(double progress,
                                           const std::wstring& detail = L"Starting Zelk") {
        SetStatus(L"Mise \u00E0 jour ...", detail, progress);
        const int side = SplashSide();
        auto frame = std::make_unique<Gdiplus::Bitmap>(side, side, PixelFormat32bppPARGB);
        Gdiplus::Graphics graphics(frame.get());
        RenderSplash(graphics, side, side);
        return frame;
    }

    static Gdiplus::ARGB Pixel(Gdiplus::Bitmap& frame, int x, int y) {
        Gdiplus::Color colour;
        frame.GetPixel(x, y, &colour);
        return colour.GetValue();
    }

    static ULONG_PTR token_;
};
ULONG_PTR Render::token_ = 0;

TEST_F(Render, PlainCardWithTransparentCorners) {
    auto frame = Frame(0.0);
    EXPECT_EQ(Pixel(*frame, 262, 100), kCard);
    EXPECT_EQ(Pixel(*frame, 0, 0) >> 24, 0u);
    EXPECT_EQ(Pixel(*frame, 524, 0) >> 24, 0u);
    EXPECT_EQ(Pixel(*frame, 0, 524) >> 24, 0u);
    EXPECT_EQ(Pixel(*frame, 524, 524) >> 24, 0u);
    EXPECT_EQ(Pixel(*frame, 262, 0) >> 24, 0xFFu);  // straight edges are full
}

TEST_F(Render, BarFollowsProgress) {
    auto empty = Frame(0.0);
    EXPECT_TRUE(Near(Pixel(*empty, 40, 424), kTrackOnCard));
    EXPECT_TRUE(Near(Pixel(*empty, 485, 424), kTrackOnCard));

    auto half = Frame(0.5);  // the fill ends at 36 + 0.5 x 453 = 262.5
    EXPECT_TRUE(Near(Pixel(*half, 250, 424), kFillOnCard));
    EXPECT_TRUE(Near(Pixel(*half, 280, 424), kTrackOnCard));

    auto full = Frame(1.0);
    EXPECT_TRUE(Near(Pixel(*full, 40, 424), kFillOnCard));
    EXPECT_TRUE(Near(Pixel(*full, 485, 424), kFillOnCard));

    auto unknown = Frame(std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(Near(Pixel(*unknown, 40, 424), kTrackOnCard));
    EXPECT_TRUE(Near(Pixel(*unknown, 262, 424), kTrackOnCard));
}

TEST_F(Render, ScaleOneAndAHalf) {
    UiScale = 1.5;
    ASSERT_EQ(SplashSide(), 788);
    auto frame = Frame(0.1);  // fill to (0.1 x 453 + 36) x 1.5 = 121.95
    EXPECT_EQ(frame->GetWidth(), 788u);
    EXPECT_TRUE(Near(Pixel(*frame, 100, 636), kFillOnCard));
    EXPECT_TRUE(Near(Pixel(*frame, 200, 636), kTrackOnCard));
    EXPECT_TRUE(Near(Pixel(*frame, 730, 636), kTrackOnCard));
    EXPECT_EQ(Pixel(*frame, 740, 636), kCard);  // past the cap at 733.5 + 4.5
    EXPECT_EQ(Pixel(*frame, 3, 3) >> 24, 0u);   // radius 22.5
    EXPECT_EQ(Pixel(*frame, 20, 20), kCard);
}

TEST_F(Render, LogoCoversTheCard) {
    std::unique_ptr<Gdiplus::Bitmap> logo = LoadPngResource(kLogoResource);
    ASSERT_NE(logo, nullptr);
    EXPECT_EQ(logo->GetWidth(), 525u);
    SplashLogo = logo.get();
    auto frame = Frame(0.0);
    EXPECT_EQ(Pixel(*frame, 0, 0) >> 24, 0u);
    EXPECT_NE(Pixel(*frame, 262, 100), kCard);
    const Gdiplus::ARGB mark = Pixel(*frame, 262, 178);  // the middle of the emblem
    EXPECT_EQ(mark >> 24, 0xFFu);
    EXPECT_GT((mark >> 16) & 0xFF, 0xC0u);
}

TEST_F(Render, MissingResourceGivesNoPicture) {
    EXPECT_EQ(LoadPngResource(999), nullptr);
}

TEST_F(Render, InterBoldFromTheResourcesDrawsTheTexts) {
    Gdiplus::PrivateFontCollection fonts;
    AddFontResourceToCollection(fonts, kRegularFontResource);
    AddFontResourceToCollection(fonts, kBoldFontResource);
    ASSERT_EQ(fonts.GetFamilyCount(), 1);
    Gdiplus::FontFamily family;
    INT found = 0;
    fonts.GetFamilies(1, &family, &found);
    wchar_t name[LF_FACESIZE] = {};
    family.GetFamilyName(name);
    EXPECT_STREQ(name, L"Inter");
    EXPECT_TRUE(family.IsStyleAvailable(Gdiplus::FontStyleBold));

    SplashFonts = &fonts;
    auto frame = Frame(0.0);
    int textPixels = 0;
    for (int y = 389; y < 410; ++y) {
        for (int x = 35; x < 200; ++x) {
            textPixels += Near(Pixel(*frame, x, y), 0xFFE4E0D0, 40) ? 1 : 0;
        }
    }
    EXPECT_GT(textPixels, 100);
}

TEST_F(Render, AMessageTooLongForItsLineEndsAtTheMargin) {
    Gdiplus::PrivateFontCollection fonts;
    AddFontResourceToCollection(fonts, kRegularFontResource);
    AddFontResourceToCollection(fonts, kBoldFontResource);
    SplashFonts = &fonts;
    // The detail line (baseline near y = 450) of a message far wider than the card.
    auto frame = Frame(0.0, L"Conflit de fichiers : " + std::wstring(120, L'W') +
                                L" existe d\u00E9j\u00E0 sous une autre forme.");
    const auto textPixels = [&](int left, int right) {
        int count = 0;
        for (int y = 436; y < 456; ++y) {
            for (int x = left; x < right; ++x) {
                count += Near(Pixel(*frame, x, y), 0xFFE4E0D0, 60) ? 1 : 0;
            }
        }
        return count;
    };
    // Text up to the margin where the bar ends (x = 489), the ellipsis included, and
    // nothing between it and the card's edge.
    EXPECT_GT(textPixels(440, 489), 20);
    EXPECT_EQ(textPixels(491, 524), 0);
}

}  // namespace
}  // namespace zelk

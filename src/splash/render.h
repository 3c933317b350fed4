#pragma once
// Drawing of one splash frame with GDI+.

#include <windows.h>
#include <gdiplus.h>

#include <memory>

namespace zelk {

inline constexpr int kSplashSide = 525;  // window side at scale 1.0
inline constexpr WORD kLogoResource = 101;
inline constexpr WORD kLargeLogoResource = 102;
inline constexpr WORD kRegularFontResource = 103;
inline constexpr WORD kBoldFontResource = 104;

// Set up by the entry point on the main thread before any frame is drawn.
extern double UiScale;
extern Gdiplus::Bitmap* SplashLogo;                  // null: plain card colour
extern Gdiplus::PrivateFontCollection* SplashFonts;  // empty: "Segoe UI"

// The frame side for the current scale: UiScale x 525, rounded.
int SplashSide();

void RenderSplash(Gdiplus::Graphics& graphics, int width, int height);

// A PNG carried as RT_RCDATA in this program, or null when the resource is absent.
std::unique_ptr<Gdiplus::Bitmap> LoadPngResource(WORD id);

// Adds an RT_RCDATA font resource to the collection; a missing one is skipped.
void AddFontResourceToCollection(Gdiplus::PrivateFontCollection& fonts, WORD id);

}  // namespace zelk

#include "splash/render.h"

#include <cstring>

#include "common/win_handles.h"
#include "splash/status.h"
#include "splash/text_fit.h"

namespace zelk {

double UiScale = 1.0;
Gdiplus::Bitmap* SplashLogo = nullptr;
Gdiplus::PrivateFontCollection* SplashFonts = nullptr;

namespace {

using Gdiplus::Color;

const Color kCardColour(0xFF, 0x17, 0x21, 0x33);
const Color kTextColour(0xCC, 0xF1, 0xEC, 0xDA);  // also the progress track
const Color kFillColour(0xCC, 0xF3, 0xCD, 0x76);

// Scene geometry at scale 1.0, in pixels of a 525 x 525 frame.
constexpr float kCornerRadius = 15.0f;
constexpr float kHeadingX = 35.5f, kHeadingY = 389.0f, kHeadingSize = 16.0f;
constexpr float kDetailX = 36.0f, kDetailY = 438.5f, kDetailSize = 12.0f;
constexpr double kBarLeft = 36.0, kBarLength = 453.0;
constexpr float kBarRight = 489.0f, kBarY = 424.0f, kBarWidth = 6.0f;

struct ResourceBytes {
    const void* data = nullptr;
    DWORD size = 0;
};

ResourceBytes FindRcData(WORD id) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (info == nullptr) {
        return {};
    }
    HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr) {
        return {};
    }
    return {data, SizeofResource(module, info)};
}

void AddCardPath(Gdiplus::GraphicsPath& path, float width, float height, float s) {
    const float d = 2.0f * kCornerRadius * s;
    path.AddArc(0.0f, 0.0f, d, d, 180.0f, 90.0f);
    path.AddArc(width - d, 0.0f, d, d, 270.0f, 90.0f);
    path.AddArc(width - d, height - d, d, d, 0.0f, 90.0f);
    path.AddArc(0.0f, height - d, d, d, 90.0f, 90.0f);
    path.CloseFigure();
}

void FillCard(Gdiplus::Graphics& graphics, const Gdiplus::GraphicsPath& path, int width,
              int height) {
    if (SplashLogo != nullptr && SplashLogo->GetWidth() > 0 && SplashLogo->GetHeight() > 0) {
        Gdiplus::TextureBrush brush(SplashLogo, Gdiplus::WrapModeTile);
        brush.ScaleTransform(static_cast<float>(width) / SplashLogo->GetWidth(),
                             static_cast<float>(height) / SplashLogo->GetHeight());
        graphics.FillPath(&brush, &path);
    } else {
        // No picture (or one that did not decode): the plain card colour.
        Gdiplus::SolidBrush brush(kCardColour);
        graphics.FillPath(&brush, &path);
    }
}

std::unique_ptr<Gdiplus::FontFamily> TextFamily() {
    if (SplashFonts != nullptr && SplashFonts->GetFamilyCount() > 0) {
        Gdiplus::FontFamily first;
        INT found = 0;
        if (SplashFonts->GetFamilies(1, &first, &found) == Gdiplus::Ok && found > 0) {
            return std::unique_ptr<Gdiplus::FontFamily>(first.Clone());
        }
    }
    return std::make_unique<Gdiplus::FontFamily>(L"Segoe UI");
}

float TextWidth(Gdiplus::Graphics& graphics, const std::wstring& text, const Gdiplus::Font& font,
                const Gdiplus::StringFormat& format) {
    Gdiplus::RectF box;
    graphics.MeasureString(text.c_str(), -1, &font, Gdiplus::PointF(0.0f, 0.0f), &format, &box);
    return box.Width;
}

// Draws text from (x, y) so that it ends before right, the card's margin (where the bar
// ends): in its font size when it fits, else smaller, down to 80 %, else cut with an
// ellipsis at that size.
void DrawFittedText(Gdiplus::Graphics& graphics, const std::wstring& text,
                    const Gdiplus::FontFamily& family, float size, float x, float y, float right,
                    const Gdiplus::StringFormat& format, const Gdiplus::Brush& brush) {
    const TextFit fit = FitText(size, right - x, [&](float pixels) {
        const Gdiplus::Font font(&family, pixels, Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
        return TextWidth(graphics, text, font, format);
    });
    const Gdiplus::Font font(&family, fit.size, Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
    // Cut here rather than by GDI+'s trimming, which not every GDI+ draws as an ellipsis.
    const std::wstring shown =
        !fit.ellipsis ? text : CutWithEllipsis(text, right - x, [&](const std::wstring& part) {
            return TextWidth(graphics, part, font, format);
        });
    graphics.DrawString(shown.c_str(), -1, &font, Gdiplus::RectF(x, y, 0.0f, 0.0f), &format,
                        &brush);
}

void DrawBar(Gdiplus::Graphics& graphics, double progress, float s) {
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
    Gdiplus::Pen track(kTextColour, kBarWidth * s);
    Gdiplus::Pen fill(kFillColour, kBarWidth * s);
    for (Gdiplus::Pen* pen : {&track, &fill}) {
        pen->SetStartCap(Gdiplus::LineCapRound);
        pen->SetEndCap(Gdiplus::LineCapRound);
    }
    const float left = static_cast<float>(kBarLeft) * s;
    graphics.DrawLine(&track, left, kBarY * s, kBarRight * s, kBarY * s);
    if (progress > 0.0) {  // false for NaN too: an unknown progress shows an empty bar
        const float end = static_cast<float>(progress * kBarLength + kBarLeft) * s;
        graphics.DrawLine(&fill, left, kBarY * s, end, kBarY * s);
    }
}

}  // namespace

int SplashSide() {
    return static_cast<int>(UiScale * kSplashSide + 0.5);
}

void RenderSplash(Gdiplus::Graphics& graphics, int width, int height) {
    const float s = static_cast<float>(UiScale);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.Clear(Color(0, 0, 0, 0));

    Gdiplus::GraphicsPath card(Gdiplus::FillModeAlternate);
    AddCardPath(card, static_cast<float>(width), static_cast<float>(height), s);
    FillCard(graphics, card, width, height);

    // Copy under the lock and draw without it: the worker never waits for drawing.
    const StatusRecord status = CopyStatus();

    std::unique_ptr<Gdiplus::FontFamily> family = TextFamily();
    Gdiplus::SolidBrush textBrush(kTextColour);
    Gdiplus::StringFormat format(Gdiplus::StringFormat::GenericTypographic());
    format.SetFormatFlags(format.GetFormatFlags() | Gdiplus::StringFormatFlagsNoWrap);

    // Both lines end where the bar does, as far from the right edge as they start from
    // the left one.
    const float right = kBarRight * s;
    DrawFittedText(graphics, status.heading, *family, kHeadingSize * s, kHeadingX * s,
                   kHeadingY * s, right, format, textBrush);
    DrawFittedText(graphics, status.detail, *family, kDetailSize * s, kDetailX * s, kDetailY * s,
                   right, format, textBrush);

    DrawBar(graphics, status.progress, s);
}

std::unique_ptr<Gdiplus::Bitmap> LoadPngResource(WORD id) {
    const ResourceBytes png = FindRcData(id);
    if (png.data == nullptr) {
        return nullptr;
    }
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, png.size);
    if (block == nullptr) {
        return nullptr;
    }
    void* target = GlobalLock(block);
    if (target == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    std::memcpy(target, png.data, png.size);
    GlobalUnlock(block);

    // The stream owns the block from here on and frees it when released.
    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, stream.put()))) {
        GlobalFree(block);
        return nullptr;
    }
    std::unique_ptr<Gdiplus::Bitmap> bitmap(Gdiplus::Bitmap::FromStream(stream.get()));
    if (bitmap == nullptr || bitmap->GetLastStatus() != Gdiplus::Ok) {
        return nullptr;  // a picture that does not decode: the renderer uses the plain colour
    }
    return bitmap;
}

void AddFontResourceToCollection(Gdiplus::PrivateFontCollection& fonts, WORD id) {
    const ResourceBytes font = FindRcData(id);
    if (font.data != nullptr) {
        fonts.AddMemoryFont(font.data, static_cast<INT>(font.size));
    }
}

}  // namespace zelk

#include "splash/render_test.h"

#include <cwchar>
#include <vector>

#include "splash/render.h"
#include "splash/status.h"

namespace zelk {
namespace {

bool FindPngEncoder(CLSID& encoder) {
    UINT count = 0, bytes = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) {
        return false;
    }
    std::vector<unsigned char> buffer(bytes, 0);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) {
        return false;
    }
    bool found = false;
    for (UINT i = 0; i < count; ++i) {
        if (codecs[i].MimeType != nullptr && std::wcscmp(codecs[i].MimeType, L"image/png") == 0) {
            encoder = codecs[i].Clsid;
            found = true;
        }
    }
    return found;
}

}  // namespace

int RunRenderTest(const std::wstring& outputPath, double progress, const std::wstring& heading,
                  const std::wstring& detail) {
    SetStatus(heading, detail, progress);  // no window exists, so nothing is posted
    const int side = SplashSide();
    Gdiplus::Bitmap frame(side, side, PixelFormat32bppPARGB);
    {
        Gdiplus::Graphics graphics(&frame);
        RenderSplash(graphics, side, side);
    }
    CLSID encoder{};
    if (!FindPngEncoder(encoder)) {
        return 1;
    }
    return frame.Save(outputPath.c_str(), &encoder, nullptr) == Gdiplus::Ok ? 0 : 1;
}

}  // namespace zelk

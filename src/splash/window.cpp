#include "splash/window.h"

#include "common/win_handles.h"
#include "splash/frame_trace.h"
#include "splash/render.h"
#include "splash/status.h"
#include "splash/taskbar.h"
#include "update/update_flow.h"

namespace zelk {
namespace {

constexpr int kFailureResult = 2;  // the flow's "error on screen" result

void OnFlowFinished(HWND window, WPARAM result) {
    if (static_cast<INT_PTR>(result) == kFailureResult) {
        ShowOnTaskbar(window, TaskbarForFailure());
        SetTimer(window, kLingerTimer, kLingerMs, nullptr);
    } else {
        DestroyWindow(window);
    }
}

}  // namespace

void PresentSplash(HWND window) {
    const int side = SplashSide();
    UniqueScreenDc screen(GetDC(nullptr));

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = side;
    info.bmiHeader.biHeight = -side;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    UniqueGdiObject dib(CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &pixels, nullptr, 0));
    if (!dib || pixels == nullptr) {
        return;  // the window keeps its previous frame
    }
    {
        // Premultiplied alpha is what UpdateLayeredWindow expects of a 32-bit DIB.
        Gdiplus::Bitmap canvas(side, side, 4 * side, PixelFormat32bppPARGB,
                               static_cast<BYTE*>(pixels));
        Gdiplus::Graphics graphics(&canvas);
        RenderSplash(graphics, side, side);
    }

    UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
    HGDIOBJ previous = SelectObject(memory.get(), dib.get());
    SIZE size{side, side};
    POINT source{0, 0};
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    UpdateLayeredWindow(window, screen.get(), nullptr, &size, memory.get(), &source, 0, &blend,
                        ULW_ALPHA);
    TraceFrameDrawn();
    SelectObject(memory.get(), previous);
}

LRESULT CALLBACK SplashWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_NCHITTEST:
            return HTCAPTION;  // drag the window by any point
        case WM_KEYDOWN:
            if (wParam == VK_ESCAPE) {
                DestroyWindow(window);
            }
            return 0;
        case WM_TIMER:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            TraceWindowClosed();
            ClearTaskbar(window);
            PostQuitMessage(0);
            return 0;
        case MSG_STATUS_CHANGED:
            RedrawStarted();  // before the copy, so a later change posts again
            PresentSplash(window);
            ShowOnTaskbar(window, TaskbarForProgress(CopyStatus().progress));
            return 0;
        case MSG_FLOW_FINISHED:
            OnFlowFinished(window, wParam);
            return 0;
        default:
            if (message == TaskbarButtonCreatedMessage() && message != 0) {
                ShowAgainOnTaskbar(window);
                return 0;
            }
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

void WorkerBody(const std::wstring& programPath) {
    int result = kFailureResult;
    try {
        result = RunUpdateFlow(programPath);
    } catch (...) {
        // Nothing may escape a thread; the status on screen stays with the error result.
    }
    TraceFlowFinished();
    HWND window = SplashWindow.load();
    if (window != nullptr) {
        PostMessageW(window, MSG_FLOW_FINISHED, static_cast<WPARAM>(static_cast<INT_PTR>(result)),
                     0);
    }
}

}  // namespace zelk

#include "splash/status.h"

#include <mutex>

#include "splash/frame_trace.h"

namespace zelk {

std::atomic<HWND> SplashWindow{nullptr};

namespace {

std::mutex statusLock;
StatusRecord SplashStatus{L"Mise à jour ...", L"Starting Zelk", 0.0};
std::atomic<bool> redrawPending{false};

}  // namespace

void SetStatus(std::wstring_view heading, std::wstring_view detail, double progress) {
    {
        std::lock_guard<std::mutex> lock(statusLock);
        SplashStatus.heading.assign(heading);
        SplashStatus.detail.assign(detail);
        if (progress > 1.0) {
            progress = 1.0;
        } else if (progress < 0.0) {
            progress = 0.0;
        }
        SplashStatus.progress = progress;
        TraceStatusChanged();
    }
    HWND window = SplashWindow.load();
    if (window != nullptr && !redrawPending.exchange(true)) {
        if (!PostMessageW(window, MSG_STATUS_CHANGED, 0, 0)) {
            redrawPending.store(false);
        }
    }
}

StatusRecord CopyStatus() {
    std::lock_guard<std::mutex> lock(statusLock);
    TraceStatusCopied();
    return SplashStatus;
}

void RedrawStarted() {
    redrawPending.store(false);
}

}  // namespace zelk

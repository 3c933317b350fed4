#pragma once
// The status shared by the update worker (which writes it) and the splash window
// (which draws it), and the two messages between them.

#include <windows.h>

#include <atomic>
#include <string>
#include <string_view>

namespace zelk {

inline constexpr UINT MSG_STATUS_CHANGED = WM_APP + 1;  // redraw; no payload
inline constexpr UINT MSG_FLOW_FINISHED = WM_APP + 2;   // wParam: the update flow's result

struct StatusRecord {
    std::wstring heading;
    std::wstring detail;
    double progress = 0.0;
};

// Set by the main thread after creation and cleared before it joins the worker;
// the worker posts only while it is non-null.
extern std::atomic<HWND> SplashWindow;

// Stores a copy under the status lock (progress clamped to 0..1) and asks the
// window for a redraw unless one is already pending, so a fast download cannot
// flood the message queue.
void SetStatus(std::wstring_view heading, std::wstring_view detail, double progress);

// A consistent copy of the record, taken under the status lock.
StatusRecord CopyStatus();

// Called by the window before it copies the status for a redraw: from now on the
// next SetStatus posts again.
void RedrawStarted();

}  // namespace zelk

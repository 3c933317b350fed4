#pragma once
// The splash window: its procedure, the presentation of a frame on the layered
// window, and the body of the update worker that reports to it.

#include <windows.h>

#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace zelk {

inline constexpr wchar_t kWindowClass[] = L"ZelkUpdate";
inline constexpr wchar_t kWindowTitle[] = L"Zelk";
inline constexpr UINT_PTR kLingerTimer = 1;
inline constexpr UINT kLingerMs = 8000;  // an error message stays readable this long

LRESULT CALLBACK SplashWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Draws a fresh frame and hands it to the layered window.
void PresentSplash(HWND window);

// Runs the update flow and posts its result to the window, if there still is one.
void WorkerBody(const std::wstring& programPath);

// Starts body on a new thread. When no thread can be started the update must not
// vanish: body then runs here, on the calling thread, and the returned thread is
// empty (not joinable).
template <typename Thread = std::thread, typename Body>
Thread StartOrRunInline(Body&& body) {
    try {
        return Thread(std::forward<Body>(body));
    } catch (const std::system_error&) {
    }
    body();
    return Thread();
}

}  // namespace zelk

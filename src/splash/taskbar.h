#pragma once
// The splash window's progress on its taskbar button, through ITaskbarList3 (the
// window thread, inside its COM apartment). Only the window procedure calls these.

#include <windows.h>

#include "splash/taskbar_view.h"

namespace zelk {

// Where a changed view goes: ITaskbarList3 in the program, a recorder in tests (a
// taskbar may draw nothing, as Wine's does, and no test could see it anyway).
using TaskbarOutput = void (*)(HWND window, const TaskbarView& view);
extern TaskbarOutput TaskbarSink;

// Passes the view on unless the button already shows it.
void ShowOnTaskbar(HWND window, const TaskbarView& view);

// Explorer made the button anew (it sends "TaskbarButtonCreated" at the window's start
// and after it restarted): the last view again.
UINT TaskbarButtonCreatedMessage();
void ShowAgainOnTaskbar(HWND window);

// The window is going: the button shows nothing any more, and the taskbar object is
// released while COM is still initialised.
void ClearTaskbar(HWND window);

// TaskbarSink's default.
void SendToTaskbarList(HWND window, const TaskbarView& view);

}  // namespace zelk

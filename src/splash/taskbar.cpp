#include "splash/taskbar.h"

#include <shobjidl.h>

#include <utility>

#include "common/win_handles.h"

namespace zelk {
namespace {

// Window thread only, like the window itself.
ComPtr<ITaskbarList3> taskbarList;
TaskbarView shown;

TBPFLAG Flag(TaskbarState state) {
    switch (state) {
        case TaskbarState::Normal:
            return TBPF_NORMAL;
        case TaskbarState::Error:
            return TBPF_ERROR;
        case TaskbarState::None:
            break;
    }
    return TBPF_NOPROGRESS;
}

}  // namespace

TaskbarOutput TaskbarSink = SendToTaskbarList;

void ShowOnTaskbar(HWND window, const TaskbarView& view) {
    if (view == shown) {
        return;
    }
    shown = view;
    TaskbarSink(window, view);
}

UINT TaskbarButtonCreatedMessage() {
    static const UINT message = RegisterWindowMessageW(L"TaskbarButtonCreated");
    return message;
}

void ShowAgainOnTaskbar(HWND window) {
    TaskbarSink(window, shown);
}

void ClearTaskbar(HWND window) {
    ShowOnTaskbar(window, {});
    taskbarList.reset();
}

void SendToTaskbarList(HWND window, const TaskbarView& view) {
    if (!taskbarList) {
        ComPtr<ITaskbarList3> list;
        if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_ITaskbarList3, reinterpret_cast<void**>(list.put()))) ||
            FAILED(list.get()->HrInit())) {
            return;  // no taskbar to tell: the splash itself still shows everything
        }
        taskbarList = std::move(list);
    }
    taskbarList.get()->SetProgressState(window, Flag(view.state));
    if (view.state != TaskbarState::None) {
        taskbarList.get()->SetProgressValue(window, view.completed, view.total);
    }
}

}  // namespace zelk

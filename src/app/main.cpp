// Entry point: reads the command line once, records the launch options and runs
// exactly one mode. The normal mode shows the splash window while the update
// worker runs, and exits only after the worker has ended.

#include <windows.h>
#include <shellapi.h>
#include <gdiplus.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/folder_rename.h"
#include "app/launch_options.h"
#include "app/uninstall.h"
#include "common/process.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "install/migration.h"
#include "splash/bench.h"
#include "splash/render.h"
#include "splash/render_test.h"
#include "splash/status.h"
#include "splash/window.h"

namespace zelk {
namespace {

constexpr DWORD kSecondInstanceDelayMs = 1500;
constexpr double kLargeLogoAbove = 1.25;

std::vector<std::wstring> SplitCommandLine() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> args;
    if (argv != nullptr) {
        args.assign(argv, argv + count);
        LocalFree(argv);
    }
    return args;
}

// GDI+ from start-up to shutdown; everything drawn with it must be gone first.
class GdiplusSession {
public:
    GdiplusSession() {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
    ~GdiplusSession() { Gdiplus::GdiplusShutdown(token_); }

private:
    ULONG_PTR token_ = 0;
};

HWND CreateSplashWindow(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = SplashWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass);

    const int side = SplashSide();
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int left = work.left + ((work.right - work.left) - side) / 2;
    const int top = work.top + ((work.bottom - work.top) - side) / 2;
    // Layered for per-pixel alpha; APPWINDOW for a taskbar button with title and icon.
    return CreateWindowExW(WS_EX_LAYERED | WS_EX_APPWINDOW, kWindowClass, kWindowTitle, WS_POPUP,
                           left, top, side, side, nullptr, nullptr, instance, nullptr);
}

int RunNormal(HINSTANCE instance) {
    ComApartment com;  // the taskbar button's progress is a COM object of the window thread
    UiScale = ScaleForDpi(GetDpiForSystem());
    std::unique_ptr<Gdiplus::Bitmap> logo =
        LoadPngResource(UiScale > kLargeLogoAbove ? kLargeLogoResource : kLogoResource);
    SplashLogo = logo.get();

    HWND window = CreateSplashWindow(instance);
    if (window != nullptr) {
        SplashWindow.store(window);
        PresentSplash(window);  // the first frame exists before the window shows
        ShowWindow(window, SW_SHOW);
    }

    std::thread worker = StartOrRunInline([path = OwnProgramPath()] { WorkerBody(path); });

    // Without a window nothing would ever end the loop: just wait for the worker.
    if (window != nullptr) {
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    SplashWindow.store(nullptr);  // from now on the worker posts nothing
    if (worker.joinable()) {
        worker.join();
    }
    SplashLogo = nullptr;
    return 0;
}

// Render test and normal mode: both draw, so both need the instance guard,
// GDI+ and the fonts.
int RunWithGraphics(HINSTANCE instance, RunMode mode, const std::vector<std::wstring>& args) {
    UniqueHandle instanceMutex(CreateMutexW(nullptr, TRUE, kInstanceMutex));
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        Sleep(kSecondInstanceDelayMs);  // a second instance is delayed, never refused
    }

    GdiplusSession gdiplus;
    int result = 0;
    {
        Gdiplus::PrivateFontCollection fonts;
        AddFontResourceToCollection(fonts, kRegularFontResource);
        AddFontResourceToCollection(fonts, kBoldFontResource);
        SplashFonts = &fonts;

        if (mode == RunMode::RenderTest) {
            // 1.0 unless a DPI follows the texts, to see a frame as a screen of that DPI
            // shows it.
            UiScale = RenderTestScale(args);
            std::unique_ptr<Gdiplus::Bitmap> logo =
                LoadPngResource(UiScale > kLargeLogoAbove ? kLargeLogoResource : kLogoResource);
            SplashLogo = logo.get();
            result = RunRenderTest(args[2], _wtof(args[3].c_str()), args[4], args[5]);
            SplashLogo = nullptr;
        } else {
            result = RunNormal(instance);
        }
        SplashFonts = nullptr;
    }
    return result;
}

int Run(HINSTANCE instance) {
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    const std::vector<std::wstring> args = SplitCommandLine();

    // --after-game: as long as the game runs.
    const PreScanResult scan = PreScanArguments(
        args, [](long id) { WaitForProcessEnd(static_cast<DWORD>(id), INFINITE); });
    LaunchUrl = scan.launchUrl;
    AfterRename = scan.afterRename;

    const RunMode mode = ChooseRunMode(args);
    switch (mode) {
        case RunMode::FolderRename:
            return RunFolderRename(static_cast<DWORD>(ParseProcessId(args[2])));
        case RunMode::MigrationTrial:
            SetOwnRoot(args[2]);
            return MigrateDataFolder(args[2]);
        case RunMode::Bench:
            return RunBench(args[2], args[3]);
        case RunMode::Uninstall:
            return RunUninstall(ReadUninstallOptions(args), UserUninstallSetup(OwnProgramPath()));
        case RunMode::UninstallFinish:
            return RunUninstallFinish(static_cast<DWORD>(ParseProcessId(args[2])));
        case RunMode::RenderTest:
        case RunMode::Normal:
            break;
    }
    return RunWithGraphics(instance, mode, args);
}

}  // namespace
}  // namespace zelk

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // First of all: DLLs are loaded from the system folder only, never from the folder
    // Zelk.exe was started from (a Downloads folder anyone can drop a "winhttp.dll" in)
    // nor from the current one. Everything that is not a known DLL is delay-loaded, so
    // nothing of the kind is loaded before this line; no static initialiser loads one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return zelk::Run(instance);
}

#include "app/folder_rename.h"

#include <string>

#include "app/command_line.h"
#include "app/launch_options.h"
#include "common/process.h"
#include "common/win_handles.h"
#include "install/paths.h"

namespace zelk {
namespace {

constexpr DWORD kHandOffWaitMs = 10000;
constexpr int kRenameAttempts = 10;
constexpr DWORD kRenamePauseMs = 300;

}  // namespace

int RunFolderRename(DWORD processId) {
    {
        // The installed copy hands off and ends; its folder can be renamed after that.
        UniqueHandle handingOff(OpenProcess(SYNCHRONIZE, FALSE, processId));
        if (handingOff) {
            WaitForSingleObject(handingOff.get(), kHandOffWaitMs);
        }
    }

    const std::filesystem::path root = GetDataRoot();
    const std::wstring stored = GetOnDiskName(root);
    if (!stored.empty() && stored != kDataRootName) {
        const std::filesystem::path source = root.parent_path() / stored;
        for (int attempt = 0; attempt < kRenameAttempts; ++attempt) {
            if (MoveFileExW(source.c_str(), root.c_str(), 0)) {
                break;
            }
            Sleep(kRenamePauseMs);  // files inside may still be closing
        }
    }

    // The restarted copy is told not to hand off again, so a rename that did not
    // take (a file held open inside, say) cannot start an endless relay.
    const std::filesystem::path exe = root / L"Zelk.exe";
    std::wstring commandLine = Quoted(exe.native()) + L" " + kAfterRenameArg;
    if (!LaunchUrl.empty()) {
        commandLine += L" " + Quoted(LaunchUrl);
    }
    return StartProcess(exe.native(), commandLine, root.native()) ? 0 : 2;
}

}  // namespace zelk

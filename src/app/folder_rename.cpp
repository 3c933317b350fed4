#include "app/folder_rename.h"

#include <string>

#include "app/command_line.h"
#include "app/launch_options.h"
#include "common/process.h"
#include "common/run_log.h"
#include "common/version.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "install/paths.h"
#include "install/temp_copy.h"

namespace zelk {
namespace {

constexpr DWORD kHandOffWaitMs = 10000;
constexpr int kRenameAttempts = 10;
constexpr DWORD kRenamePauseMs = 300;

}  // namespace

int RunFolderRename(DWORD processId) {
    // The installed copy hands off and ends; its folder can be renamed after that.
    WaitForProcessEnd(processId, kHandOffWaitMs);

    const std::filesystem::path root = GetDataRoot();
    const std::wstring stored = GetOnDiskName(root);
    int attempts = 0;
    bool renamed = false;
    if (!stored.empty() && stored != kDataRootName) {
        const std::filesystem::path source = root.parent_path() / stored;
        while (attempts < kRenameAttempts && !renamed) {
            ++attempts;
            renamed = MoveFileExW(source.c_str(), root.c_str(), 0) != FALSE;
            if (!renamed) {
                Sleep(kRenamePauseMs);  // files inside may still be closing
            }
        }
    }
    SetOwnRoot(root);
    BeginRunLog(MakeInstallPaths(root).logsDir);  // after the rename: it moves the log too
    Log("start: Zelk ", kZelkVersion, ", mode folder rename, link given: ", !LaunchUrl.empty());
    if (attempts == 0) {
        Log("data root stored as \"", stored, "\": nothing to rename");
    } else {
        Log("data root stored as \"", stored, "\": ", renamed ? "renamed" : "not renamed",
            " after ", attempts, " attempts");
    }

    // The restarted copy is told not to hand off again, so a rename that did not
    // take (a file held open inside, say) cannot start an endless relay.
    const std::filesystem::path exe = root / L"Zelk.exe";
    std::wstring commandLine = Quoted(exe.native()) + L" " + kAfterRenameArg;
    if (!LaunchUrl.empty()) {
        commandLine += L" " + Quoted(LaunchUrl);
    }
    const int result = StartProcess(exe.native(), commandLine, root.native()) ? 0 : 2;
    Log("end: result ", result, " (the installed copy ", result == 0 ? "started" : "not started",
        "), after ", RunLogSeconds(), " s");
    // This copy ran from a folder of its own under the temporary folder: it goes too.
    if (const std::wstring own = OwnProgramPath(); !own.empty()) {
        RemoveFolderAfterExit(std::filesystem::path(own).parent_path());
    }
    return result;
}

}  // namespace zelk

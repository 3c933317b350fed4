#pragma once
// Command-line rules: the pre-scan for --after-game and zelk:// links, and the
// choice of exactly one run mode. Free of Windows headers so the rules can be
// tested on their own.

#include <functional>
#include <string>
#include <vector>

namespace zelk {

inline constexpr wchar_t kAfterGameArg[] = L"--after-game";
inline constexpr wchar_t kFolderRenameArg[] = L"--renommer-dossier";
inline constexpr wchar_t kMigrationTrialArg[] = L"--essai-migration";
inline constexpr wchar_t kBenchArg[] = L"--banc";
inline constexpr wchar_t kRenderTestArg[] = L"--render-test";
inline constexpr wchar_t kUpdatedArg[] = L"--updated";
inline constexpr wchar_t kUninstallArg[] = L"--desinstaller";
inline constexpr wchar_t kUninstallSilentArg[] = L"--silencieux";  // no question, no message
inline constexpr wchar_t kUninstallEverythingArg[] = L"--tout";    // the user's data too
// Given by the uninstall to the temporary copy that removes Zelk.exe once it has ended.
inline constexpr wchar_t kUninstallFinishArg[] = L"--fin-desinstallation";
// Added by the folder rename when it restarts the installed copy, so that copy
// never hands off again even when the rename did not take.
inline constexpr wchar_t kAfterRenameArg[] = L"--apres-renommage";

enum class RunMode {
    FolderRename,
    MigrationTrial,
    Bench,
    RenderTest,
    Uninstall,
    UninstallFinish,
    Normal
};

struct PreScanResult {
    std::wstring launchUrl;    // last acceptable zelk:// link, or empty
    bool afterRename = false;  // --apres-renommage was given
};

// Walks arguments 1..n-1 in order. "--after-game <pid>" calls waitForProcess with
// the pid (as wcstol reads it) and consumes the pid; links are kept as described
// in IsAcceptedLink.
PreScanResult PreScanArguments(const std::vector<std::wstring>& args,
                               const std::function<void(long)>& waitForProcess);

// "zelk://" in any ASCII case, shorter than 300 characters, no double quote.
bool IsAcceptedLink(const std::wstring& arg);

RunMode ChooseRunMode(const std::vector<std::wstring>& args);

// wcstol with base 10, as the process-id arguments are read.
long ParseProcessId(const std::wstring& text);

struct UninstallOptions {
    bool silent = false;      // --silencieux: no question and no message; the exit code tells
    bool everything = false;  // --tout: the user's data goes too
};

// The uninstall's switches, anywhere after "--desinstaller".
UninstallOptions ReadUninstallOptions(const std::vector<std::wstring>& args);

// The render test's optional seventh argument, a DPI: the scale the normal mode would
// take on a system of that DPI (DPI / 96, never below 1). Without it, 1.0.
double RenderTestScale(const std::vector<std::wstring>& args);

// The splash's scale on a system of this DPI: DPI / 96, never below 1.
double ScaleForDpi(double dpi);

}  // namespace zelk

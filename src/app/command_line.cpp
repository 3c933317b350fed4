#include "app/command_line.h"

#include <cstdint>
#include <cwchar>

#include "common/ascii.h"

namespace zelk {
namespace {

constexpr size_t kLongestLink = 299;

}  // namespace

bool IsAcceptedLink(const std::wstring& arg) {
    static constexpr std::wstring_view scheme = L"zelk://";
    if (arg.size() < scheme.size() || arg.size() > kLongestLink) {
        return false;
    }
    if (!EqualsIgnoringAsciiCase(std::wstring_view(arg).substr(0, scheme.size()), scheme)) {
        return false;
    }
    // The link is later placed between double quotes on other command lines.
    return arg.find(L'"') == std::wstring::npos;
}

long ParseProcessId(const std::wstring& text) {
    return std::wcstol(text.c_str(), nullptr, 10);
}

PreScanResult PreScanArguments(const std::vector<std::wstring>& args,
                               const std::function<void(long)>& waitForProcess) {
    PreScanResult result;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg == kAfterGameArg && i + 1 < args.size()) {
            waitForProcess(ParseProcessId(args[i + 1]));
            ++i;
        } else if (IsAcceptedLink(arg)) {
            result.launchUrl = arg;
        } else if (arg == kAfterRenameArg) {
            result.afterRename = true;
        }
    }
    return result;
}

RunMode ChooseRunMode(const std::vector<std::wstring>& args) {
    const size_t count = args.size();
    if (count >= 3 && args[1] == kFolderRenameArg) {
        return RunMode::FolderRename;
    }
    if (count >= 3 && args[1] == kMigrationTrialArg) {
        return RunMode::MigrationTrial;
    }
    if (count >= 4 && args[1] == kBenchArg) {
        return RunMode::Bench;
    }
    if (count >= 6 && args[1] == kRenderTestArg) {
        return RunMode::RenderTest;
    }
    if (count >= 2 && args[1] == kUninstallArg) {
        return RunMode::Uninstall;
    }
    if (count >= 3 && args[1] == kUninstallFinishArg) {
        return RunMode::UninstallFinish;
    }
    return RunMode::Normal;
}

UninstallOptions ReadUninstallOptions(const std::vector<std::wstring>& args) {
    UninstallOptions options;
    for (size_t i = 2; i < args.size(); ++i) {
        options.silent = options.silent || args[i] == kUninstallSilentArg;
        options.everything = options.everything || args[i] == kUninstallEverythingArg;
    }
    return options;
}

double RenderTestScale(const std::vector<std::wstring>& args) {
    return args.size() >= 7 ? ScaleForDpi(std::wcstod(args[6].c_str(), nullptr)) : 1.0;
}

double ScaleForDpi(double dpi) {
    const double scale = dpi / 96.0;
    return scale > 1.0 ? scale : 1.0;  // also for a DPI that is not a number
}

}  // namespace zelk

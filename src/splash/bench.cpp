#include "splash/bench.h"

#include <windows.h>

#include <string>

#include "app/launch_options.h"
#include "common/process.h"
#include "common/text.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "splash/status.h"
#include "update/update_flow.h"

namespace zelk {

int RunBench(const std::wstring& dataRoot, const std::wstring& baseUrl) {
    DataRootOverride = dataRoot;
    BaseUrlOverride = baseUrl;

    int result = kBenchFailed;
    try {
        result = RunUpdateFlow(OwnProgramPath());
    } catch (...) {
        // Reported through the result like any other failure.
    }

    const StatusRecord status = CopyStatus();
    std::wstring reportPath = dataRoot;
    if (!reportPath.empty() && reportPath.back() != L'\\' && reportPath.back() != L'/') {
        reportPath += L'\\';
    }
    reportPath += L"banc.txt";
    // Three lines, CR LF as a text-mode write leaves them; texts in UTF-8, no BOM.
    const std::string report = std::to_string(result) + "\r\n" + WideToUtf8(status.heading) +
                               "\r\n" + WideToUtf8(status.detail) + "\r\n";
    // Never written through a link planted at its name.
    UniqueFile file = OpenOwnFile(reportPath, GENERIC_WRITE, FILE_SHARE_READ, true);
    if (file && SetEndOfFile(file.get())) {
        DWORD written = 0;
        WriteFile(file.get(), report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    }
    return result;
}

}  // namespace zelk

// Test tool: keeps a file open the way a running program keeps its files (reading
// and writing shared, deletion not), so that replacing it fails. Also serves as a
// process of any name that simply lives for a while.
//   hold_file.exe <file> <milliseconds> <marker> [exclusive]
// The marker file is created once the file is held; it holds this process's id. "exclusive" shares
// nothing, so not even a writer can open the file.

#include <windows.h>

#include <cwchar>
#include <string>

#include "common/win_handles.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        return 2;
    }
    const bool exclusive = argc > 4 && std::wcscmp(argv[4], L"exclusive") == 0;
    zelk::UniqueFile held(CreateFileW(argv[1], GENERIC_READ,
                                      exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    {
        zelk::UniqueFile marker(
            CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        const std::string id = std::to_string(GetCurrentProcessId());
        DWORD written = 0;
        WriteFile(marker.get(), id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
    }
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    return held ? 0 : 1;
}

#include "install/temp_copy.h"

#include <windows.h>
#include <bcrypt.h>

#include <string>
#include <system_error>

#include "common/process.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"

namespace zelk {
namespace {

constexpr wchar_t kFolderPrefix[] = L"Zelk-";
constexpr size_t kRandomBytes = 16;
// The remover reads the folder from its environment: a path's "%" or "^" is then never
// read as cmd syntax, and inside double quotes "&" is plain text too.
constexpr wchar_t kFolderVariable[] = L"ZELK_REMOVE_FOLDER";
// Waits for end of input (this process gone), then tries up to 20 times, a second
// apart (ping on loopback is cmd's only pause), until the folder is gone.
constexpr wchar_t kRemoverCommand[] =
    L"cmd.exe /d /q /c (set /p w=)&for /l %i in (1,1,20) do (rd /s /q \"%ZELK_REMOVE_FOLDER%\" "
    L"2>nul&if exist \"%ZELK_REMOVE_FOLDER%\" ping -n 2 127.0.0.1 >nul)";

std::wstring RandomName() {
    unsigned char bytes[kRandomBytes] = {};
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, bytes, sizeof(bytes), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return {};
    }
    static constexpr wchar_t kHex[] = L"0123456789abcdef";
    std::wstring name = kFolderPrefix;
    for (unsigned char byte : bytes) {
        name += kHex[byte >> 4];
        name += kHex[byte & 0xF];
    }
    return name;
}

bool IsFreshName(const std::wstring& name) {
    const size_t prefix = std::wstring_view(kFolderPrefix).size();
    if (name.size() != prefix + 2 * kRandomBytes || name.compare(0, prefix, kFolderPrefix) != 0) {
        return false;
    }
    for (size_t i = prefix; i < name.size(); ++i) {
        const wchar_t c = name[i];
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) {
            return false;
        }
    }
    return true;
}

std::filesystem::path SystemFolder() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::filesystem::path() : buffer;
}

}  // namespace

std::filesystem::path UserTempFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    return length == 0 || length > MAX_PATH ? std::filesystem::path() : buffer;
}

std::filesystem::path CopyToFreshTempFolder(const std::filesystem::path& source,
                                            std::wstring_view fileName) {
    try {
        const std::filesystem::path temp = UserTempFolder();
        const std::wstring name = RandomName();
        if (temp.empty() || name.empty()) {
            return {};
        }
        // Made here and now, never taken over: an existing folder of that name is
        // somebody else's.
        const std::filesystem::path folder = temp / name;
        if (!CreateDirectoryW(folder.c_str(), nullptr)) {
            return {};
        }
        const std::filesystem::path copy = folder / fileName;
        if (!CopyFileW(source.c_str(), copy.c_str(), TRUE)) {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
            return {};
        }
        return copy;
    } catch (const std::exception&) {
        return {};  // out of memory composing a path
    }
}

bool StartFreshTempCopy(const std::filesystem::path& source, std::wstring_view fileName,
                        const std::wstring& arguments) {
    const std::filesystem::path copy = CopyToFreshTempFolder(source, fileName);
    if (copy.empty()) {
        return false;
    }
    const std::wstring commandLine = Quoted(copy.native()) + L" " + arguments;
    if (StartProcess(copy.native(), commandLine, UserTempFolder().native())) {
        return true;
    }
    std::error_code ignored;
    std::filesystem::remove_all(copy.parent_path(), ignored);
    return false;
}

bool IsFreshTempFolder(const std::filesystem::path& folder) {
    try {
        return IsFreshName(folder.filename().native()) &&
               SameFile(folder.parent_path(), UserTempFolder());
    } catch (const std::exception&) {
        return false;
    }
}

bool RemoveFolderAfterExit(const std::filesystem::path& folder) {
    const std::filesystem::path system = SystemFolder();
    if (system.empty() || !IsFreshTempFolder(folder) ||
        !SetEnvironmentVariableW(kFolderVariable, folder.c_str())) {
        return false;
    }
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    UniqueHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 0) ||
        !SetHandleInformation(writeEnd.get(), HANDLE_FLAG_INHERIT, 0)) {
        return false;
    }

    // The remover gets the pipe's reading end and nothing else of this process.
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::string listBytes(listSize, '\0');
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &listSize)) {
        return false;
    }
    HANDLE inherited = readEnd.get();
    const bool listed = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                  &inherited, sizeof(inherited), nullptr, nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = readEnd.get();
    startup.lpAttributeList = list;
    std::wstring commandLine = kRemoverCommand;
    PROCESS_INFORMATION created{};
    // Run from the system folder: a remover whose current folder is the one to remove
    // could never remove it.
    const bool started =
        listed && CreateProcessW((system / L"cmd.exe").c_str(), commandLine.data(), nullptr,
                                 nullptr, TRUE, CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                                 nullptr, system.c_str(), &startup.StartupInfo, &created);
    DeleteProcThreadAttributeList(list);
    if (!started) {
        return false;
    }
    UniqueHandle thread(created.hThread), process(created.hProcess);
    // Never closed: the pipe ends with this process, and that is the remover's signal.
    writeEnd.release();
    return true;
}

}  // namespace zelk

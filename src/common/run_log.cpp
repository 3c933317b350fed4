#include "common/run_log.h"

#include <windows.h>

#include <chrono>
#include <mutex>

#include "common/win_handles.h"
#include "install/file_helpers.h"

namespace zelk {
namespace {

std::mutex logLock;  // the worker and the window thread may both write
std::filesystem::path logFile;
std::chrono::steady_clock::time_point runStart = std::chrono::steady_clock::now();

LogTime Now() {
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    return {utc.wYear,   utc.wMonth,  utc.wDay,         utc.wHour,
            utc.wMinute, utc.wSecond, utc.wMilliseconds};
}

// Opened for appending only, and shared every way: another Zelk process may write its
// own lines, rotate the log or remove the folder between two of ours. Never a link: a
// "zelk.log" that leads elsewhere gets no line, and is never rotated. The log exists for
// every line but a run's first: opened as it is first, which spares a line the checks
// that making a file takes.
UniqueFile OpenForAppend(const std::filesystem::path& path) {
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    UniqueFile file = OpenOwnFile(path, FILE_APPEND_DATA, kShare, false);
    if (!file && (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == kLinkInTheWay)) {
        file = OpenOwnFile(path, FILE_APPEND_DATA, kShare, true);
    }
    return file;
}

void Append(const std::filesystem::path& path, const std::string& line) {
    UniqueFile file = OpenForAppend(path);
    if (!file) {
        return;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file.get(), &size) &&
        LogNeedsRotation(static_cast<std::uint64_t>(size.QuadPart), line.size())) {
        file.reset();  // closed first, or the rename would be refused
        MoveOwnFile(path, RotatedLogPath(path), MOVEFILE_REPLACE_EXISTING);
        file = OpenForAppend(path);
        if (!file) {
            return;
        }
    }
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

void BeginRunLog(const std::filesystem::path& logsDir) {
    std::lock_guard<std::mutex> hold(logLock);
    try {
        logFile = logsDir.empty() ? std::filesystem::path() : logsDir / L"zelk.log";
    } catch (...) {
        logFile.clear();
    }
    runStart = std::chrono::steady_clock::now();
}

void WriteLogLine(std::string_view message) {
    // Callers read GetLastError after a failed call and may log before they do.
    const DWORD lastError = GetLastError();
    try {
        std::lock_guard<std::mutex> hold(logLock);
        if (!logFile.empty()) {
            Append(logFile, FormatLogLine(Now(), message));
        }
    } catch (...) {
        // Out of memory: the line is dropped.
    }
    SetLastError(lastError);
}

double RunLogSeconds() {
    const auto elapsed = std::chrono::steady_clock::now() - runStart;
    return std::chrono::duration<double>(elapsed).count();
}

}  // namespace zelk

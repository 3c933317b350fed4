#include "install/file_helpers.h"

#include <windows.h>

#include <algorithm>
#include <new>
#include <string>
#include <system_error>

#include "common/win_handles.h"

namespace zelk {
namespace {

constexpr DWORD kLargestIo = 1u << 30;  // one ReadFile/WriteFile call moves at most 1 GiB

// No deny mode: the launcher or another process may read the file meanwhile.
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool WriteAll(HANDLE file, std::span<const std::uint8_t> bytes) {
    for (size_t offset = 0; offset < bytes.size();) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(kLargestIo, bytes.size() - offset));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + offset, piece, &written, nullptr) || written == 0) {
            return false;
        }
        offset += written;
    }
    return true;
}

}  // namespace

bool ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes,
                   std::uint64_t maxBytes) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX ||
        static_cast<std::uint64_t>(size.QuadPart) > maxBytes) {
        return false;
    }
    std::vector<std::uint8_t> content;
    try {
        content.resize(static_cast<size_t>(size.QuadPart));
    } catch (const std::bad_alloc&) {
        return false;
    }
    size_t done = 0;
    while (done < content.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(kLargestIo, content.size() - done));
        DWORD read = 0;
        // A read error or a file that shrank meanwhile ends the copy early.
        if (!ReadFile(file.get(), content.data() + done, piece, &read, nullptr) || read == 0) {
            break;
        }
        done += read;
    }
    content.resize(done);
    bytes.swap(content);
    return true;
}

bool WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         Durability durability) {
    std::wstring temporary;
    try {
        temporary = path.native() + L".tmp";
    } catch (const std::bad_alloc&) {
        return false;
    }
    {
        UniqueFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, kShareReadWrite, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return false;
        }
        if (!WriteAll(file.get(), bytes)) {
            // A half-written file must not keep the space of a full disk taken; the
            // caller still needs the write's own error to say what went wrong.
            const DWORD error = GetLastError();
            file.reset();
            DeleteFileW(temporary.c_str());
            SetLastError(error);
            return false;
        }
        // The content must be on disk before the rename makes it the real file;
        // otherwise a power cut could leave a renamed but empty file.
        if (durability == Durability::Flushed) {
            FlushFileBuffers(file.get());
        }
    }
    return MoveFileExW(temporary.c_str(), path.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool FlushToDisk(const std::filesystem::path& path) {
    // Full sharing: a flush must never make another program's open or rename fail.
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && FlushFileBuffers(file.get());
}

void MoveIfAbsent(const std::filesystem::path& src, const std::filesystem::path& dst,
                  MoveTally& tally) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(src, error);
    if (error || !std::filesystem::exists(status)) {
        return;
    }
    if (std::filesystem::exists(dst, error)) {
        return;
    }
    std::filesystem::create_directories(dst.parent_path(), error);
    // A rename only: no replacing, no copying across volumes, folders move whole.
    if (MoveFileExW(src.c_str(), dst.c_str(), MOVEFILE_WRITE_THROUGH)) {
        ++tally.moved;
    }
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    auto identify = [](const std::filesystem::path& path, BY_HANDLE_FILE_INFORMATION& info) {
        // No access rights are needed to read the identity; folders need backup semantics.
        UniqueFile file(CreateFileW(path.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return file && GetFileInformationByHandle(file.get(), &info);
    };
    BY_HANDLE_FILE_INFORMATION first{}, second{};
    return identify(a, first) && identify(b, second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

bool PathExists(const std::filesystem::path& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace zelk

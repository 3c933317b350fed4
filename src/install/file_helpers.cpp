#include "install/file_helpers.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "common/text.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kLargestIo = 1u << 30;  // one ReadFile/WriteFile call moves at most 1 GiB

// No deny mode: the launcher or another process may read the file meanwhile.
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// The data root of the run and, once it exists, the path the file system gives it. Set
// before any other thread starts; the lock only keeps a late reader honest.
std::mutex rootLock;
std::wstring rootPath;
std::wstring rootFinal;

// The path the file system should open for path when nothing below the root is a link:
// the root's own final path, then the rest of path as written. Empty when path is not
// below the root, or the root cannot be opened (nothing below it can be judged then).
std::wstring ExpectedFinal(const fs::path& path) {
    const std::wstring& text = path.native();
    std::lock_guard<std::mutex> hold(rootLock);
    if (rootPath.empty() || text.size() <= rootPath.size() + 1 ||
        !IsSeparator(text[rootPath.size()]) ||
        !SamePathText(std::wstring_view(text).substr(0, rootPath.size()), rootPath)) {
        return {};
    }
    if (rootFinal.empty()) {
        rootFinal = FinalPath(rootPath);
        if (rootFinal.empty()) {
            return {};
        }
    }
    std::wstring expected = rootFinal;
    for (size_t at = rootPath.size(); at < text.size(); ++at) {
        const wchar_t c = IsSeparator(text[at]) ? L'\\' : text[at];
        if (!(c == L'\\' && expected.back() == L'\\')) {
            expected += c;
        }
    }
    return expected;
}

bool IsBelowRoot(const fs::path& path) {
    return !ExpectedFinal(path).empty();
}

// The attributes of what a handle opened (the link itself, when opened with
// FILE_FLAG_OPEN_REPARSE_POINT on Windows); INVALID_FILE_ATTRIBUTES when unknown.
DWORD HandleAttributes(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag))) {
        return INVALID_FILE_ATTRIBUTES;
    }
    return tag.FileAttributes;
}

std::wstring HandleFinalPath(HANDLE handle) {
    std::wstring final(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), 0);
        if (length == 0) {
            return {};
        }
        if (length < final.size()) {
            final.resize(length);
            return final;
        }
        final.resize(length);  // too small: length counts the terminating zero
    }
}

// Whether an open handle is exactly path and no link: what the file system opened is
// what was asked for. A path elsewhere than below the root is always itself.
bool HandleIsPath(HANDLE handle, const fs::path& path) {
    const std::wstring expected = ExpectedFinal(path);
    if (expected.empty()) {
        return true;
    }
    const DWORD attributes = HandleAttributes(handle);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           SamePathText(HandleFinalPath(handle), expected);
}

// Opens what stands at path itself, a link included where the platform can (Windows),
// for removing it or asking what it is.
UniqueFile OpenForRemoval(const fs::path& path) {
    return UniqueFile(CreateFileW(
        path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// Deletes what the handle opened, and only that: a file, an empty folder, or a link or
// junction itself. Read-only is cleared first, as a removal by the user would.
bool DeleteByHandle(HANDLE handle, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = (attributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            basic.FileAttributes &= ~FILE_ATTRIBUTE_NORMAL;
        }
        SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic));
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != FALSE;
}

// What stands at path, opened for removal, once it has been judged: a link (to be removed
// as itself, or left), or a file or folder that really is path.
enum class Standing { Missing, Failed, Link, LinkElsewhere, File, Folder };

struct Judged {
    Standing standing = Standing::Missing;
    UniqueFile handle;
    DWORD attributes = 0;
};

Judged Judge(const fs::path& path) {
    Judged judged;
    judged.handle = OpenForRemoval(path);
    if (!judged.handle) {
        const DWORD error = GetLastError();
        judged.standing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                              ? Standing::Missing
                              : Standing::Failed;
        SetLastError(error);
        return judged;
    }
    judged.attributes = HandleAttributes(judged.handle.get());
    const std::wstring expected = ExpectedFinal(path);
    const bool here =
        expected.empty() || SamePathText(HandleFinalPath(judged.handle.get()), expected);
    if (judged.attributes == INVALID_FILE_ATTRIBUTES) {
        judged.standing = Standing::Failed;
    } else if (!here) {
        // Reached through a link, or a link the platform followed (Wine, for a link to a
        // file): the object opened is elsewhere, never to be touched.
        judged.standing = Standing::LinkElsewhere;
    } else if (judged.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        judged.standing = Standing::Link;
    } else {
        judged.standing =
            (judged.attributes & FILE_ATTRIBUTE_DIRECTORY) ? Standing::Folder : Standing::File;
    }
    return judged;
}

// A link standing where a file of Zelk's own goes (never one on the way to it) is taken
// out by renaming a new empty file over it: a rename replaces the name and never follows
// it, where a removal would hit the target under Wine. A junction or a link to a folder
// cannot be renamed over: false.
bool ReplaceLinkWithEmptyFile(const fs::path& path) {
    static std::atomic<unsigned> counter{0};
    const fs::path fresh = path.native() + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                           std::to_wstring(++counter) + L".tmp";
    {
        UniqueFile file(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file || !HandleIsPath(file.get(), fresh)) {
            return false;
        }
    }
    if (MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return true;
    }
    DeleteFileW(fresh.c_str());  // ours, just made and checked
    return false;
}

}  // namespace

void SetOwnRoot(const fs::path& root) {
    std::wstring path = root.native();
    while (path.size() > 1 && IsSeparator(path.back()) && path[path.size() - 2] != L':') {
        path.pop_back();
    }
    std::lock_guard<std::mutex> hold(rootLock);
    rootPath = std::move(path);
    rootFinal.clear();
}

std::wstring FinalPath(const fs::path& path) {
    // No access rights are needed to ask; folders need backup semantics.
    UniqueFile file(CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file ? HandleFinalPath(file.get()) : std::wstring();
}

bool IsLinkBelowRoot(const fs::path& path) {
    if (!IsBelowRoot(path)) {
        return false;
    }
    fs::path part = path;
    DWORD attributes = GetFileAttributesW(part.c_str());
    while (attributes == INVALID_FILE_ATTRIBUTES) {
        fs::path parent = part.parent_path();
        if (parent == part || !IsBelowRoot(parent)) {
            return false;  // nothing below the root exists yet on the way
        }
        part = std::move(parent);
        attributes = GetFileAttributesW(part.c_str());
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return true;
    }
    const std::wstring reached = FinalPath(part);
    return !reached.empty() && !SamePathText(reached, ExpectedFinal(part));
}

UniqueFile OpenOwnFile(const fs::path& path, DWORD access, DWORD share, bool create) {
    if (!IsBelowRoot(path)) {
        return UniqueFile(CreateFileW(path.c_str(), access, share, nullptr,
                                      create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
    }
    // Never follow a link on Windows: opened as itself, it is refused below.
    constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    const auto open = [&](DWORD disposition) {
        UniqueFile file(
            CreateFileW(path.c_str(), access, share, nullptr, disposition, kFlags, nullptr));
        if (file && !HandleIsPath(file.get(), path)) {
            file.reset();
            SetLastError(kLinkInTheWay);
        }
        return file;
    };
    if (create) {
        // Something may be made from here on: never behind a linked folder, where it
        // would land elsewhere.
        if (IsLinkBelowRoot(path.parent_path())) {
            SetLastError(kLinkInTheWay);
            return {};
        }
        // Made first, opened if it exists: under Wine, each lookup of a name that does
        // not exist reads the whole folder, and asking first would read it twice for
        // every new file. CREATE_NEW fails where anything stands, a link to nothing too
        // (OPEN_ALWAYS would make its target).
        UniqueFile file = open(CREATE_NEW);
        const DWORD error = file ? ERROR_SUCCESS : GetLastError();
        if (file || (error != ERROR_FILE_EXISTS && error != kLinkInTheWay)) {
            return file;
        }
    }
    UniqueFile file = open(OPEN_EXISTING);
    const DWORD error = file ? ERROR_SUCCESS : GetLastError();
    if (file || !create || (error != ERROR_FILE_NOT_FOUND && error != kLinkInTheWay)) {
        return file;
    }
    // A link stands at the name (to nothing, or to something else): replaced.
    if (ReplaceLinkWithEmptyFile(path)) {
        return open(OPEN_EXISTING);
    }
    SetLastError(kLinkInTheWay);
    return {};
}

bool CreateOwnFolders(const fs::path& folder) {
    if (!IsBelowRoot(folder)) {
        std::error_code error;
        fs::create_directories(folder, error);
        return !error && PathExists(folder);
    }
    // From the root down, each folder made when missing and then looked at: a link there
    // (or a link to nothing, which CreateDirectoryW refuses as existing) stops the way.
    std::vector<fs::path> way;
    for (fs::path part = folder; IsBelowRoot(part); part = part.parent_path()) {
        way.push_back(part);
    }
    for (auto part = way.rbegin(); part != way.rend(); ++part) {
        if (GetFileAttributesW(part->c_str()) == INVALID_FILE_ATTRIBUTES &&
            !CreateDirectoryW(part->c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
        const Judged judged = Judge(*part);
        if (judged.standing != Standing::Folder) {
            SetLastError(judged.standing == Standing::File     ? ERROR_DIRECTORY
                         : judged.standing == Standing::Failed ? GetLastError()
                                                               : kLinkInTheWay);
            return false;
        }
    }
    return true;
}

bool RemoveOwnFile(const fs::path& path) {
    const Judged judged = Judge(path);
    switch (judged.standing) {
        case Standing::File:
        case Standing::Link:
        case Standing::Folder:  // only when empty, as the standard removal does
            return DeleteByHandle(judged.handle.get(), judged.attributes);
        case Standing::LinkElsewhere:
            SetLastError(kLinkInTheWay);
            return false;
        case Standing::Missing:
        case Standing::Failed:
            return false;
    }
    return false;
}

void RemoveOwnTree(const fs::path& path, std::vector<fs::path>& left) {
    Judged judged = Judge(path);
    switch (judged.standing) {
        case Standing::Missing:
            return;  // already gone
        case Standing::File:
        case Standing::Link:
            if (!DeleteByHandle(judged.handle.get(), judged.attributes)) {
                left.push_back(path);
            }
            return;
        case Standing::LinkElsewhere:
        case Standing::Failed:
            left.push_back(path);
            return;
        case Standing::Folder:
            break;
    }
    // Closed while the folder is listed (a listing shares no deletion). What is inside is
    // judged one by one, each against its own path: a folder swapped for a link
    // meanwhile would show in every name below it.
    judged.handle.reset();
    const size_t leftBefore = left.size();
    std::vector<fs::path> children;
    std::error_code error;
    for (fs::directory_iterator walk(path, error); !error && walk != fs::directory_iterator();
         walk.increment(error)) {
        children.push_back(walk->path());
    }
    for (const fs::path& child : children) {
        RemoveOwnTree(child, left);
    }
    judged = Judge(path);
    const bool removed = judged.standing == Standing::Folder &&
                         DeleteByHandle(judged.handle.get(), judged.attributes);
    if (!removed && judged.standing != Standing::Missing && left.size() == leftBefore) {
        left.push_back(path);
    }
}

bool MoveOwnFile(const fs::path& from, const fs::path& to, DWORD flags) {
    if (IsBelowRoot(from)) {
        const Judged judged = Judge(from);
        if (judged.standing == Standing::Missing || judged.standing == Standing::Failed) {
            return false;
        }
        if (judged.standing == Standing::Link || judged.standing == Standing::LinkElsewhere) {
            SetLastError(kLinkInTheWay);
            return false;
        }
    }
    if (IsLinkBelowRoot(to.parent_path())) {
        SetLastError(kLinkInTheWay);
        return false;
    }
    return MoveFileExW(from.c_str(), to.c_str(), flags) != FALSE;
}

bool ReadWholeFile(const fs::path& path, std::vector<std::uint8_t>& bytes, std::uint64_t maxBytes) {
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

bool WriteFileAtomically(const fs::path& path, std::span<const std::uint8_t> bytes) {
    fs::path temporary;
    try {
        temporary = path.native() + L".tmp";
    } catch (const std::bad_alloc&) {
        return false;
    }
    {
        // A temporary file left by a write cut short is written over, never a link.
        UniqueFile file = OpenOwnFile(temporary, GENERIC_WRITE, kShareReadWrite, true);
        if (!file || !SetEndOfFile(file.get())) {
            return false;
        }
        if (!WriteAll(file.get(), bytes)) {
            // A half-written file must not keep the space of a full disk taken; the
            // caller still needs the write's own error to say what went wrong.
            const DWORD error = GetLastError();
            file.reset();
            RemoveOwnFile(temporary);
            SetLastError(error);
            return false;
        }
        // The content must be on disk before the rename makes it the real file;
        // otherwise a power cut could leave a renamed but empty file.
        FlushFileBuffers(file.get());
    }
    return MoveOwnFile(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool FlushToDisk(const fs::path& path) {
    // Full sharing: a flush must never make another program's open or rename fail.
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && FlushFileBuffers(file.get());
}

void MoveIfAbsent(const fs::path& src, const fs::path& dst, MoveTally& tally) {
    if (!PathExists(src) || PathExists(dst)) {
        return;
    }
    // A rename only: no replacing, no copying across volumes, folders move whole.
    if (CreateOwnFolders(dst.parent_path()) && MoveOwnFile(src, dst, MOVEFILE_WRITE_THROUGH)) {
        ++tally.moved;
    }
}

bool SameFile(const fs::path& a, const fs::path& b) {
    auto identify = [](const fs::path& path, BY_HANDLE_FILE_INFORMATION& info) {
        // No access rights are needed to read the identity; folders need backup semantics.
        UniqueFile file(CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return file && GetFileInformationByHandle(file.get(), &info);
    };
    BY_HANDLE_FILE_INFORMATION first{}, second{};
    return identify(a, first) && identify(b, second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

bool PathExists(const fs::path& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::uint64_t> SizeOnDisk(const fs::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace zelk

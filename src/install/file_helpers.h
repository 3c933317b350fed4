#pragma once
// Whole-file reads, atomic replacement and non-overwriting moves, and the one way Zelk
// writes, renames and removes below its data root: never through a link. None of them
// throws or shows anything: each reports through its result.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/win_handles.h"

namespace zelk {

// Zelk never makes a link or junction, and never writes, renames or removes through one
// below its data root: a link planted in its folders must not make it touch a file
// elsewhere. Windows marks links and junctions as reparse points. Wine shows a link to a
// file as a plain file, opens its target, and removes or renames the target when asked to
// remove or rename the link; so besides the attribute, the path the file system really
// opens is held against the path asked for. Every helper below that writes, renames or
// removes does so: for paths below the data root of the run (SetOwnRoot), a link on the
// way makes it fail with kLinkInTheWay and touch nothing. Paths elsewhere are taken as
// they are. Reading through a link is allowed: it changes nothing.

// What GetLastError tells after a helper refused a link (ERROR_REPARSE_POINT_ENCOUNTERED,
// which MinGW's headers lack).
inline constexpr DWORD kLinkInTheWay = 4395;

// The data root of this run, before any helper is used for it (a mode sets it once, on
// its one thread). The root itself may be a link: where the data lives is the user's
// choice. An empty path checks nothing.
void SetOwnRoot(const std::filesystem::path& root);

// The path the file system opens for path ("\\?\" form), or empty when it cannot be
// opened.
std::wstring FinalPath(const std::filesystem::path& path);

// Whether path is below the data root and is a link itself or reached through one,
// judged on its deepest part that exists. What exists but cannot be opened to ask is
// judged by its attributes alone (a file another program holds still reads as held).
bool IsLinkBelowRoot(const std::filesystem::path& path);

// Opens path with access and share: an existing file as it is, a missing one (when
// create) made only where nothing at all stands. Never a link, nor a file reached
// through one: with create, a link standing at path itself (a link to nothing too) is
// replaced by a new empty file, by a rename that never follows it; otherwise, or for a
// link on the way, empty with kLinkInTheWay. A folder there gives ERROR_ACCESS_DENIED,
// as CreateFileW does.
UniqueFile OpenOwnFile(const std::filesystem::path& path, DWORD access, DWORD share, bool create);

// Creates folder and every missing folder above it. False when one cannot be made or
// something on the way is a file or (below the data root) a link.
bool CreateOwnFolders(const std::filesystem::path& folder);

// Removes the file at path (read-only or not) or the empty folder, or a link or
// junction standing there as the link itself, never its target; where the platform
// cannot tell a link from its target (Wine, for a link to a file) it stays, with
// kLinkInTheWay. False when path is reached through a link or cannot be removed.
bool RemoveOwnFile(const std::filesystem::path& path);

// Removes path and everything below it, going on past failures: links met are removed as
// RemoveOwnFile does, never entered. What could not be removed is added to left (a folder
// that keeps something it could not lose is listed through that).
void RemoveOwnTree(const std::filesystem::path& path, std::vector<std::filesystem::path>& left);

// MoveFileExW(from, to, flags), refused (kLinkInTheWay) when from is a link or either is
// reached through one. A link standing at to is replaced by the rename itself (which
// never follows it) when flags allow replacing.
bool MoveOwnFile(const std::filesystem::path& from, const std::filesystem::path& to, DWORD flags);

// True when the file could be opened; bytes then holds its whole content.
// On false, bytes is left untouched. A file larger than maxBytes is not read at all
// (false), so a file that should be small cannot take the memory of a huge one.
bool ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes,
                   std::uint64_t maxBytes = UINT64_MAX);

// Writes path + ".tmp" and renames it over path, so readers see the old or the
// new content, never a mix. The parent folder must exist. On false, GetLastError
// tells why; a failed write removes the temporary file, a failed rename keeps it.
// Never through a link (OpenOwnFile, MoveOwnFile): a link at path is replaced.
bool WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Makes the written content of a file durable; false when it cannot be opened.
bool FlushToDisk(const std::filesystem::path& path);

struct MoveTally {
    int moved = 0;
};

// Renames src to dst (MoveOwnFile) when src exists and dst does not, making dst's
// folders first; counts a success.
void MoveIfAbsent(const std::filesystem::path& src, const std::filesystem::path& dst,
                  MoveTally& tally);

// Whether two paths name the same file (volume serial number and file index).
// False when either cannot be opened.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// Existence test in which any error counts as absence.
bool PathExists(const std::filesystem::path& path);

// Size of the file on disk; none when there is no file (nothing, or a folder) or it
// cannot be asked. One query tells both, for each file of every run.
std::optional<std::uint64_t> SizeOnDisk(const std::filesystem::path& path);

}  // namespace zelk

#pragma once
// Whole-file reads, atomic replacement and non-overwriting moves. None of them
// throws or shows anything: each reports through its result.

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace zelk {

// True when the file could be opened; bytes then holds its whole content.
// On false, bytes is left untouched. A file larger than maxBytes is not read at all
// (false), so a file that should be small cannot take the memory of a huge one.
bool ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes,
                   std::uint64_t maxBytes = UINT64_MAX);

// Whether a replacement's content is on disk before the rename makes it the file.
// Deferred leaves the flush to the caller (FlushToDisk), who must see it done before
// anything records the file as written: a power cut may otherwise leave the new
// name with content that never reached the disk.
enum class Durability { Flushed, Deferred };

// Writes path + ".tmp" and renames it over path, so readers see the old or the
// new content, never a mix. The parent folder must exist. On false, GetLastError
// tells why; a failed write removes the temporary file, a failed rename keeps it.
bool WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         Durability durability = Durability::Flushed);

// Makes the written content of a file durable; false when it cannot be opened.
bool FlushToDisk(const std::filesystem::path& path);

struct MoveTally {
    int moved = 0;
};

// Renames src to dst when src exists and dst does not; counts a success.
void MoveIfAbsent(const std::filesystem::path& src, const std::filesystem::path& dst,
                  MoveTally& tally);

// Whether two paths name the same file (volume serial number and file index).
// False when either cannot be opened.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// Existence test in which any error counts as absence.
bool PathExists(const std::filesystem::path& path);

}  // namespace zelk

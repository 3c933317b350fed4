#pragma once
// The record kept beside the partial file of a differential download ("<digest>.plan"):
// which fetched ranges of the new file are written and flushed, so that a download cut
// short resumes without asking for them again. It only ever saves requests: the bytes it
// vouches for are checked with the rest by the whole file's digest at the end. Free of
// Windows headers.
//
// Text, one line each, "\n" after every line:
//   ZPLAN 1 <digest of the block map>
//   <offset> <length>          (decimal, one line per range, appended once it is on disk)

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

// A range of the new file held in the partial file.
struct HeldRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool operator==(const HeldRange&) const = default;
};

// The first line of a record for the map of this digest.
std::string BlockRecordHeader(std::string_view mapDigest);

// The line of one range.
std::string BlockRecordLine(const HeldRange& range);

// The ranges a record vouches for, for a file of fileSize bytes built from the map of
// mapDigest. Empty (no record) unless the header names that map and every whole line is
// a range within the file: decimal without leading zeros, a length of 1 or more, no
// more lines than the file has blocks at most. A last line without its "\n" was cut
// short by the end of a run: it is left out.
std::optional<std::vector<HeldRange>> ReadBlockRecord(std::string_view text,
                                                      std::string_view mapDigest,
                                                      std::uint64_t fileSize);

}  // namespace zelk

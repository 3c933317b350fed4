#pragma once
// Turns the update's download counters into the splash status while a file arrives.

#include <cstdint>
#include <vector>

#include "update/manifest.h"

namespace zelk {

// Refers to counters the installation owns and updates; only reads them.
struct DownloadProgress {
    const std::uint64_t& fileNumber;         // 1-based number of the file being fetched
    const std::vector<ManifestFile>& files;  // the files to fetch; only their count is shown
    const std::uint64_t& doneBytes;          // sizes of the files already written
    const std::uint64_t& totalBytes;         // sizes of all files to fetch

    // received: bytes of the current file so far (from zero again on a retry).
    void operator()(std::uint64_t received) const;
};

}  // namespace zelk

#pragma once
// The download progress line and bar position, free of Windows headers.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zelk {

inline constexpr double kDownloadProgressStart = 0.08;
inline constexpr double kDownloadProgressSpan = 0.9;

// "Téléchargement 3/10 — 12.3 / 40.0 Mo": file number of count, then megabytes
// done of total with one decimal and a point whatever the locale.
std::wstring FormatDownloadDetail(std::uint64_t fileNumber, std::uint64_t fileCount,
                                  std::uint64_t doneBytes, std::uint64_t totalBytes);

// 0.08 at the start of the downloads, 0.98 when every byte has arrived (not clamped).
double DownloadFraction(std::uint64_t doneBytes, std::uint64_t totalBytes);

// What the progress line shows at one moment: file i of n, a of b bytes.
struct DownloadLine {
    std::uint64_t fileNumber = 0;
    std::uint64_t fileCount = 0;
    std::uint64_t doneBytes = 0;
    std::uint64_t totalBytes = 0;

    bool operator==(const DownloadLine&) const = default;
};

// Adds up the transfers of one download phase into the progress line. Each transfer
// reports from its own slot (one per concurrent transfer) how much of its current file
// it holds, the bytes already on disk from an earlier run included; a finished file
// counts with its whole size. The line never goes back: a transfer that starts its
// file again on another server only stops it from moving until it has caught up.
// Safe to use from several threads.
class DownloadTally {
public:
    DownloadTally(std::uint64_t fileCount, std::uint64_t totalBytes, std::size_t slots);

    DownloadLine Received(std::size_t slot, std::uint64_t received);
    // The slot's content is whole: it counts as files files (one content may be
    // installed at several paths) with their bytes.
    DownloadLine Finished(std::size_t slot, std::uint64_t bytes, std::uint64_t files = 1);
    // A content counted as was bytes in the total now counts as now: a differential
    // download fetches only part of it, or the whole of it again after all.
    DownloadLine Retotal(std::uint64_t was, std::uint64_t now);

private:
    DownloadLine LineLocked();

    std::mutex lock_;
    const std::uint64_t fileCount_;
    std::uint64_t totalBytes_;
    std::uint64_t finishedFiles_ = 0;
    std::uint64_t finishedBytes_ = 0;
    std::vector<std::uint64_t> inFlight_;  // by slot
    DownloadLine shown_;
};

}  // namespace zelk

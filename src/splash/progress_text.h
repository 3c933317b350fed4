#pragma once
// The download progress line and bar position, free of Windows headers.

#include <cstdint>
#include <string>

namespace zelk {

inline constexpr double kDownloadProgressStart = 0.08;
inline constexpr double kDownloadProgressSpan = 0.9;

// "Téléchargement 3/10 — 12.3 / 40.0 Mo": file number of count, then megabytes
// done of total with one decimal and a point whatever the locale.
std::wstring FormatDownloadDetail(std::uint64_t fileNumber, std::uint64_t fileCount,
                                  std::uint64_t doneBytes, std::uint64_t totalBytes);

// 0.08 at the start of the downloads, 0.98 when every byte has arrived (not clamped).
double DownloadFraction(std::uint64_t doneBytes, std::uint64_t totalBytes);

}  // namespace zelk

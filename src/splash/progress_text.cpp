#include "splash/progress_text.h"

#include <algorithm>
#include <charconv>

namespace zelk {
namespace {

constexpr double kBytesToMegabytes = 9.5367431640625e-07;  // 2^-20

// As "%.1f" would print it in the C locale: correctly rounded, a point, no grouping.
std::wstring Megabytes(std::uint64_t bytes) {
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof(buffer),
                      static_cast<double>(bytes) * kBytesToMegabytes, std::chars_format::fixed, 1);
    return std::wstring(buffer, result.ptr);  // ASCII only: widened byte by byte
}

std::wstring Decimal(std::uint64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::wstring(buffer, result.ptr);
}

}  // namespace

std::wstring FormatDownloadDetail(std::uint64_t fileNumber, std::uint64_t fileCount,
                                  std::uint64_t doneBytes, std::uint64_t totalBytes) {
    return L"Téléchargement " + Decimal(fileNumber) + L"/" + Decimal(fileCount) + L" \u2014 " +
           Megabytes(doneBytes) + L" / " + Megabytes(totalBytes) + L" Mo";
}

double DownloadFraction(std::uint64_t doneBytes, std::uint64_t totalBytes) {
    const double divisor = static_cast<double>(std::max<std::uint64_t>(totalBytes, 1));
    return static_cast<double>(doneBytes) * kDownloadProgressSpan / divisor +
           kDownloadProgressStart;
}

DownloadTally::DownloadTally(std::uint64_t fileCount, std::uint64_t totalBytes, std::size_t slots)
    : fileCount_(fileCount), totalBytes_(totalBytes), inFlight_(slots, 0) {
    shown_ = {std::min<std::uint64_t>(1, fileCount), fileCount, 0, totalBytes};
}

DownloadLine DownloadTally::Received(std::size_t slot, std::uint64_t received) {
    std::lock_guard<std::mutex> hold(lock_);
    inFlight_.at(slot) = received;
    return LineLocked();
}

DownloadLine DownloadTally::Finished(std::size_t slot, std::uint64_t bytes, std::uint64_t files) {
    std::lock_guard<std::mutex> hold(lock_);
    inFlight_.at(slot) = 0;
    finishedFiles_ += files;
    finishedBytes_ += bytes;
    return LineLocked();
}

DownloadLine DownloadTally::Retotal(std::uint64_t was, std::uint64_t now) {
    std::lock_guard<std::mutex> hold(lock_);
    totalBytes_ = totalBytes_ - std::min(was, totalBytes_) + now;
    shown_.totalBytes = totalBytes_;
    return LineLocked();
}

DownloadLine DownloadTally::LineLocked() {
    std::uint64_t done = finishedBytes_;
    for (std::uint64_t received : inFlight_) {
        done += received;
    }
    // The file being fetched is the one after those finished; never past the last.
    const std::uint64_t number = std::min(finishedFiles_ + 1, fileCount_);
    shown_.fileNumber = std::max(shown_.fileNumber, number);
    shown_.doneBytes = std::max(shown_.doneBytes, done);
    return shown_;
}

}  // namespace zelk

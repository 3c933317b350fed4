#pragma once
// Flushing written files to disk on a thread of its own, so that waiting for the
// disk overlaps the next download instead of following each write.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <span>
#include <thread>

namespace zelk {

class BackgroundFlush {
public:
    BackgroundFlush();  // without a thread, Add flushes at once
    BackgroundFlush(const BackgroundFlush&) = delete;
    BackgroundFlush& operator=(const BackgroundFlush&) = delete;
    ~BackgroundFlush();  // waits as Finish does

    void Add(const std::filesystem::path& path);

    // WriteFileAtomically, with the flush left to this thread. A file being flushed
    // is open, and a rename cannot replace an open file: when the write fails, the
    // pending flushes are finished and the write is tried once more.
    bool Write(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

    // Returns once every file added so far is on disk; the result counts the files
    // flushed (one that could not be opened is not).
    std::size_t Finish();

private:
    void Run();

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::filesystem::path> pending_;
    bool finishing_ = false;
    std::size_t flushed_ = 0;
    std::thread thread_;
};

}  // namespace zelk

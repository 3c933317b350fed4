#pragma once
// Flushing files to disk on a thread of its own, so that waiting for the disk overlaps
// the next downloads instead of following each file.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

namespace zelk {

class BackgroundFlush {
public:
    BackgroundFlush();  // without a thread, Add flushes at once
    BackgroundFlush(const BackgroundFlush&) = delete;
    BackgroundFlush& operator=(const BackgroundFlush&) = delete;
    ~BackgroundFlush();  // waits as Finish does

    // Flushes path; once its content is on disk, durable runs (on the flushing thread,
    // one file after another, in the order they were added). A file that cannot be
    // flushed never gets its durable call.
    void Add(const std::filesystem::path& path, std::function<void()> durable = {});

    // Renames from over to (replacing it, the rename itself written through) and adds
    // to. A file being flushed is open, and a rename cannot replace an open file: when
    // the rename fails, the pending flushes are waited for and it is tried once more.
    // On false, GetLastError tells why.
    bool Place(const std::filesystem::path& from, const std::filesystem::path& to,
               std::function<void()> durable = {});

    // Returns once every file added so far is flushed; the thread stays for more.
    void Drain();

    // Returns once every file added so far is on disk, and ends the thread; the result
    // counts the files flushed (one that could not be opened is not).
    std::size_t Finish();

private:
    struct Pending {
        std::filesystem::path path;
        std::function<void()> durable;
    };
    void Run();
    void FlushOne(Pending& item);

    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Pending> pending_;
    bool busy_ = false;  // the thread holds an item it took off the queue
    bool finishing_ = false;
    std::size_t flushed_ = 0;
    std::thread thread_;
};

}  // namespace zelk

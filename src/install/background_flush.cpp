#include "install/background_flush.h"

#include <windows.h>

#include <new>
#include <system_error>
#include <utility>

#include "install/file_helpers.h"

namespace zelk {

BackgroundFlush::BackgroundFlush() {
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // No thread: each file is flushed as it is added, which is only slower.
    }
}

BackgroundFlush::~BackgroundFlush() {
    Finish();
}

void BackgroundFlush::FlushOne(Pending& item) {
    const bool flushed = FlushToDisk(item.path);
    if (flushed && item.durable) {
        item.durable();
    }
    std::lock_guard<std::mutex> hold(lock_);
    flushed_ += flushed ? 1 : 0;
}

void BackgroundFlush::Add(const std::filesystem::path& path, std::function<void()> durable) {
    Pending item{path, std::move(durable)};
    if (thread_.joinable()) {
        try {
            std::lock_guard<std::mutex> hold(lock_);
            pending_.push_back(std::move(item));
            wake_.notify_one();
            return;
        } catch (const std::bad_alloc&) {
            // Flushed here instead.
        }
    }
    FlushOne(item);
}

bool BackgroundFlush::Place(const std::filesystem::path& from, const std::filesystem::path& to,
                            std::function<void()> durable) {
    const auto rename = [&] {
        return MoveFileExW(from.c_str(), to.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    };
    if (!rename()) {
        // Without a thread nothing of ours holds the file: the failure is real. Else the
        // retry's GetLastError is the one the caller reads.
        if (!thread_.joinable()) {
            return false;
        }
        Drain();
        if (!rename()) {
            return false;
        }
    }
    Add(to, std::move(durable));
    return true;
}

void BackgroundFlush::Drain() {
    std::unique_lock<std::mutex> hold(lock_);
    idle_.wait(hold, [this] { return pending_.empty() && !busy_; });
}

std::size_t BackgroundFlush::Finish() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            finishing_ = true;
            wake_.notify_one();
        }
        thread_.join();
    }
    std::lock_guard<std::mutex> hold(lock_);
    return flushed_;
}

void BackgroundFlush::Run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        wake_.wait(hold, [this] { return finishing_ || !pending_.empty(); });
        if (pending_.empty()) {
            idle_.notify_all();
            return;  // finishing, and nothing left
        }
        Pending item = std::move(pending_.front());
        pending_.pop_front();
        busy_ = true;
        hold.unlock();
        FlushOne(item);
        hold.lock();
        busy_ = false;
        if (pending_.empty()) {
            idle_.notify_all();
        }
    }
}

}  // namespace zelk

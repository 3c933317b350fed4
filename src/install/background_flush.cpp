#include "install/background_flush.h"

#include <new>
#include <system_error>

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

void BackgroundFlush::Add(const std::filesystem::path& path) {
    if (thread_.joinable()) {
        try {
            std::lock_guard<std::mutex> hold(lock_);
            pending_.push_back(path);
            wake_.notify_one();
            return;
        } catch (const std::bad_alloc&) {
            // Flushed here instead.
        }
    }
    const bool flushed = FlushToDisk(path);
    std::lock_guard<std::mutex> hold(lock_);
    flushed_ += flushed ? 1 : 0;
}

bool BackgroundFlush::Write(const std::filesystem::path& path,
                            std::span<const std::uint8_t> bytes) {
    if (!WriteFileAtomically(path, bytes, Durability::Deferred)) {
        // Without a thread nothing of ours holds the file: the failure is real. Else
        // the retry's GetLastError is the one the caller reads.
        if (!thread_.joinable()) {
            return false;
        }
        Finish();
        if (!WriteFileAtomically(path, bytes, Durability::Deferred)) {
            return false;
        }
    }
    Add(path);
    return true;
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
            return;  // finishing, and nothing left
        }
        const std::filesystem::path path = std::move(pending_.front());
        pending_.pop_front();
        hold.unlock();
        const bool flushed = FlushToDisk(path);
        hold.lock();
        flushed_ += flushed ? 1 : 0;
    }
}

}  // namespace zelk

#include "net/content.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "common/text.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "integrity/digest_text.h"
#include "integrity/sha256.h"

namespace zelk {
namespace {

// A content this large or more is written and hashed on a thread of its own.
constexpr std::uint64_t kThreadedBytes = 4u << 20;
constexpr std::uint64_t kProgressEveryBytes = 64 * 1024;

// The partial file of one content: what is in it, and its running digest.
struct Partial {
    UniqueFile file;
    std::uint64_t size = 0;
    Sha256Stream hash;
    DWORD error = 0;  // the write or read error that made it unusable
};

bool Truncate(Partial& partial) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(partial.file.get(), start, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(partial.file.get())) {
        partial.error = GetLastError();
        return false;
    }
    partial.size = 0;
    partial.hash = Sha256Begin();
    return static_cast<bool>(partial.hash);
}

bool Append(Partial& partial, std::span<const std::uint8_t> bytes) {
    for (std::size_t offset = 0; offset < bytes.size();) {
        DWORD written = 0;
        const DWORD piece =
            static_cast<DWORD>(std::min<std::size_t>(1u << 30, bytes.size() - offset));
        if (!WriteFile(partial.file.get(), bytes.data() + offset, piece, &written, nullptr) ||
            written == 0) {
            partial.error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
            return false;
        }
        offset += written;
    }
    partial.size += bytes.size();
    return Sha256Add(partial.hash, bytes);
}

// Writing and hashing a download's bytes behind its reads. Hashing costs as much as
// receiving, so for a large content the bytes gather into blocks that a thread of their
// own writes and hashes while the next block arrives; a small one is written as it
// comes (a thread would cost more than it saves). Memory stays a few blocks whatever
// the content's size.
class Spooler {
public:
    Spooler(Partial& partial, bool threaded) : partial_(partial), threaded_(threaded) {}
    Spooler(const Spooler&) = delete;
    Spooler& operator=(const Spooler&) = delete;
    ~Spooler() { Finish(); }

    // False once a write has failed (partial.error tells why).
    bool Add(std::span<const std::uint8_t> bytes) {
        if (!threaded_) {
            return Append(partial_, bytes);
        }
        while (!bytes.empty()) {
            const std::size_t room = kBlockBytes - current_.size();
            const std::size_t piece = std::min(room, bytes.size());
            current_.insert(current_.end(), bytes.begin(), bytes.begin() + piece);
            bytes = bytes.subspan(piece);
            if (current_.size() == kBlockBytes && !Hand(std::move(current_))) {
                return false;
            }
        }
        return true;
    }

    // Returns once every byte added is written and hashed; false when one failed.
    bool Finish() {
        if (threaded_ && !current_.empty()) {
            Hand(std::move(current_));
        }
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                finishing_ = true;
                wake_.notify_all();
            }
            thread_.join();
        }
        current_ = {};
        return partial_.error == 0;
    }

private:
    static constexpr std::size_t kBlockBytes = 256 * 1024;
    static constexpr std::size_t kMostQueued = 4;

    bool Hand(std::vector<std::uint8_t> block) {
        current_ = {};
        try {
            current_.reserve(kBlockBytes);
            if (!thread_.joinable()) {
                thread_ = std::thread([this] { Run(); });
            }
        } catch (const std::exception&) {
            // No memory or no thread: this block is written here, and so are the rest.
            threaded_ = false;
            Finish();
            return Append(partial_, block);
        }
        std::unique_lock<std::mutex> hold(lock_);
        room_.wait(hold, [this] { return queued_.size() < kMostQueued || failed_; });
        if (failed_) {
            return false;
        }
        queued_.push_back(std::move(block));
        wake_.notify_all();
        return true;
    }

    void Run() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            wake_.wait(hold, [this] { return finishing_ || !queued_.empty(); });
            if (queued_.empty()) {
                return;
            }
            std::vector<std::uint8_t> block = std::move(queued_.front());
            queued_.pop_front();
            room_.notify_all();
            hold.unlock();
            const bool written = Append(partial_, block);
            hold.lock();
            if (!written) {
                failed_ = true;
                queued_.clear();
                room_.notify_all();
            }
        }
    }

    Partial& partial_;
    bool threaded_;
    std::vector<std::uint8_t> current_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable room_;
    std::deque<std::vector<std::uint8_t>> queued_;
    bool finishing_ = false;
    bool failed_ = false;
    std::thread thread_;
};

// Opens (or creates) the partial file and hashes what it already holds. Bytes that
// cannot be read again, or more than the content can have, are dropped.
bool OpenPartial(const std::filesystem::path& path, std::uint64_t expectedSize, Partial& partial) {
    // Shared for reading only: nothing else may change the bytes being hashed. Never a
    // link: bytes for the launcher's folder are never read from, nor written to, a file
    // elsewhere.
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_DELETE;
    partial.file = OpenOwnFile(path, kAccess, kShare, true);
    if (!partial.file && GetLastError() == ERROR_ACCESS_DENIED) {
        // A folder where the partial file goes is as stale as any partial file: it goes,
        // then the file is made. (RemoveOwnTree never enters a link.)
        std::vector<std::filesystem::path> left;
        RemoveOwnTree(path, left);
        if (left.empty()) {
            partial.file = OpenOwnFile(path, kAccess, kShare, true);
        }
    }
    if (!partial.file) {
        partial.error = GetLastError();
        return false;
    }
    partial.hash = Sha256Begin();
    LARGE_INTEGER size{};
    if (!partial.hash || !GetFileSizeEx(partial.file.get(), &size)) {
        partial.error = ERROR_GEN_FAILURE;
        return false;
    }
    const std::uint64_t held = static_cast<std::uint64_t>(size.QuadPart);
    if (held == 0 || held > expectedSize) {
        return Truncate(partial);
    }
    // Bytes beside a block record are ranges here and there of a differential download,
    // never the start of the content. Looked for only when bytes are held: under Wine,
    // asking for a name that does not exist reads the whole folder, and a large update
    // fills it with thousands of partial files.
    const std::filesystem::path record = BlockRecordPath(path);
    if (PathExists(record)) {
        RemoveOwnFile(record);
        return Truncate(partial);
    }
    if (!Sha256AddFile(partial.hash, partial.file.get(), held)) {
        return Truncate(partial);
    }
    partial.size = held;
    return true;  // the file pointer is at the end, where the rest goes
}

enum class Attempt { Delivered, Failed, Restart };

// One request to one base. Restart: the server could not resume from the bytes held
// (they are gone now): the same base is worth one whole request.
Attempt FetchFrom(const HttpSession& session, const std::wstring& url, std::uint64_t expectedSize,
                  Partial& partial, const ProgressCallback& progress,
                  const std::atomic<bool>* cancel, ContentFetch& fetch) {
    HttpRequest how;
    how.url = url;
    how.offset = partial.size;
    how.limits = kContentLimits;
    how.cancel = cancel;
    // A store that sends its files on to plain http (a CDN, say) is followed: every
    // byte is checked against the signed digest.
    how.anyRedirect = true;
    bool surprise = false;
    // Until the spooler's thread takes over the writing, the bytes taken in are counted
    // apart from partial.
    std::uint64_t held = partial.size;
    std::uint64_t shown = held;
    const AnswerCheck wanted = [&](const HttpAnswer& answer) {
        if (answer.status == 200) {
            // A server without ranges sends the whole file: start it again.
            held = shown = 0;
            return partial.size == 0 || Truncate(partial);
        }
        if (answer.status == 206 && partial.size != 0 && answer.range &&
            RangeContinues(*answer.range, partial.size, expectedSize)) {
            return true;
        }
        // Some other range, or a refusal of the one asked for (416): nothing can be
        // joined to what is held.
        if (answer.status == 206 || (answer.status == 416 && partial.size != 0)) {
            surprise = true;
            Truncate(partial);
        }
        return false;
    };
    if (progress) {
        progress(partial.size);  // the bar starts from what is already here
    }
    Spooler spooler(partial, expectedSize >= kThreadedBytes);
    const ChunkSink write = [&](std::span<const std::uint8_t> chunk) {
        fetch.received += chunk.size();
        // A larger body is abandoned as soon as it outgrows the expected size.
        if (chunk.size() > expectedSize - held) {
            SetLastError(ERROR_FILE_TOO_LARGE);
            return false;
        }
        if (!spooler.Add(chunk)) {
            SetLastError(partial.error);
            return false;
        }
        held += chunk.size();
        // Often enough for the bar, not so often that drawing it costs.
        if (progress && (held - shown >= kProgressEveryBytes || held == expectedSize)) {
            shown = held;
            progress(held);
        }
        return true;
    };
    fetch.last = httpFetch(session, how, wanted, write);
    fetch.troubles.Add(fetch.last.status, fetch.last.error);
    spooler.Finish();
    if (partial.error != 0) {
        return Attempt::Failed;
    }
    if (surprise) {
        return Attempt::Restart;
    }
    return fetch.last ? Attempt::Delivered : Attempt::Failed;
}

// downloadContent, but for the record of the content's map.
ContentFetch FetchContent(const HttpSession& session, const std::vector<std::wstring>& bases,
                          const std::string& expectedDigest, std::uint64_t expectedSize,
                          const std::filesystem::path& partialFile,
                          const ProgressCallback& progress, const std::atomic<bool>* cancel,
                          const BlockSource* blocks, std::vector<std::uint8_t>& map) {
    ContentFetch fetch;
    // A partial file with a block record holds ranges here and there, never the start of
    // the content alone: only a differential download may continue it (else OpenPartial
    // starts it again).
    const std::filesystem::path record = BlockRecordPath(partialFile);
    if (blocks != nullptr && !blocks->base.empty() &&
        (PathExists(record) || SizeOnDisk(partialFile).value_or(0) == 0)) {
        switch (BuildFromBlocks(session, bases, expectedDigest, expectedSize, partialFile, *blocks,
                                progress, cancel, fetch, map)) {
            case BlockOutcome::Built:
                RemoveOwnFile(record);
                fetch.ok = true;
                fetch.fromBlocks = true;
                return fetch;
            case BlockOutcome::Failed:
                if (fetch.writeError != 0) {
                    RemoveOwnFile(record);
                    RemoveOwnFile(partialFile);  // its space is what the disk lacks
                }
                return fetch;  // the record stays: the next run resumes
            case BlockOutcome::Whole:
                if (blocks->planned) {
                    blocks->planned(expectedSize);
                }
                break;
        }
    }
    Partial partial;
    const auto writeFailed = [&] {
        fetch.writeError = partial.error != 0 ? partial.error : ERROR_WRITE_FAULT;
        partial.file.reset();
        RemoveOwnFile(partialFile);  // its space is what the disk lacks
        return fetch;
    };
    if (!OpenPartial(partialFile, expectedSize, partial)) {
        return writeFailed();
    }
    // The digest goes into the URL as it is: the manifest it came from is verified.
    const std::wstring suffix = L"/files/" + Utf8ToWide(expectedDigest);
    for (const std::wstring& base : bases) {
        // One attempt per server, and one more when the bytes held had to go.
        for (int tries = 0; tries < 2; ++tries) {
            Attempt attempt = Attempt::Delivered;
            // Bytes from an earlier run end up in the file unless the server sent it whole.
            bool resumed = partial.size != 0;
            // Complete already (the last run ended between the download and its use):
            // nothing to ask for.
            if (partial.size != expectedSize || expectedSize == 0) {
                attempt = FetchFrom(session, base + suffix, expectedSize, partial, progress, cancel,
                                    fetch);
                resumed = resumed && fetch.last.status == 206;
            }
            if (partial.error != 0) {
                return writeFailed();
            }
            if (attempt == Attempt::Restart) {
                continue;
            }
            if (attempt == Attempt::Failed) {
                break;  // the bytes held stay for the next base
            }
            // A failed hash is empty: never a match, even for an empty expected digest.
            const std::string digest =
                partial.size == expectedSize ? Sha256FinishHex(partial.hash) : std::string();
            if (!digest.empty() && digest == expectedDigest) {
                // On disk before anything may vouch for it, through the handle still
                // open: no second open by name (on Windows, each open and close of a
                // new file is one more antivirus scan).
                if (!FlushFileBuffers(partial.file.get())) {
                    partial.error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
                    return writeFailed();
                }
                fetch.ok = true;
                fetch.servedBy = base;
                return fetch;
            }
            // Wrong bytes: never kept, never joined to again. When some of them came
            // from an earlier run, they may be the culprit: one whole request more.
            if (!Truncate(partial)) {
                return writeFailed();
            }
            if (!resumed) {
                break;
            }
        }
        if (cancel != nullptr && cancel->load()) {
            break;
        }
    }
    return fetch;
}

}  // namespace

ContentFetch downloadContent(const HttpSession& session, const std::vector<std::wstring>& bases,
                             const std::string& expectedDigest, std::uint64_t expectedSize,
                             const std::filesystem::path& partialFile,
                             const ProgressCallback& progress, const std::atomic<bool>* cancel,
                             const BlockSource* blocks) {
    // The digest names the partial file and goes into the URL: never anything else.
    if (!IsDigestText(expectedDigest)) {
        ContentFetch fetch;
        fetch.last = {false, 0, ERROR_INVALID_NAME};
        return fetch;
    }
    std::vector<std::uint8_t> map;
    ContentFetch fetch = FetchContent(session, bases, expectedDigest, expectedSize, partialFile,
                                      progress, cancel, blocks, map);
    if (fetch.ok && blocks != nullptr && (cancel == nullptr || !cancel->load())) {
        RecordBlockMap(session, bases, *blocks, expectedSize, partialFile, std::move(map), cancel);
    }
    return fetch;
}

TransfersOutcome FetchContents(const HttpSession& session, const std::vector<std::wstring>& bases,
                               const std::vector<ContentJob>& jobs,
                               const std::filesystem::path& partialDir,
                               const TransferEvents& events) {
    struct Arrival {
        std::size_t job;
        ContentFetch fetch;
    };
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    // Transfers that no job needs (never started, or with no job left): a differential
    // download may borrow them for more ranges at once.
    std::atomic<std::size_t> spare{0};
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Arrival> arrivals;
    std::size_t running = 0;

    // One transfer: takes the next job until there is none, or until told to stop.
    const auto transfer = [&](std::size_t slot, bool once) {
        for (;;) {
            const std::size_t job = next.fetch_add(1);
            if (stop.load() || job >= jobs.size()) {
                break;
            }
            const ProgressCallback progress = [&events, slot](std::uint64_t held) {
                if (events.progress) {
                    events.progress(slot, held);
                }
            };
            BlockSource source{jobs[job].blocks, jobs[job].base, jobs[job].baseMap,
                               [&events, slot, job](std::uint64_t bytes) {
                                   if (events.planned) {
                                       events.planned(slot, job, bytes);
                                   }
                               },
                               // Beside its own transfer, those that no job needs
                               // any more: never more requests than kMaxTransfers.
                               [&spare](std::size_t wanted) {
                                   std::size_t free = spare.load();
                                   std::size_t taken = 0;
                                   do {
                                       taken = std::min(free, wanted);
                                   } while (!spare.compare_exchange_weak(free, free - taken));
                                   return taken;
                               },
                               [&spare](std::size_t given) { spare += given; }};
            const bool fromBlocks = !jobs[job].blocks.empty();
            Arrival arrival{job, downloadContent(session, bases, jobs[job].digest, jobs[job].size,
                                                 partialDir / Utf8ToWide(jobs[job].digest),
                                                 progress, &stop, fromBlocks ? &source : nullptr)};
            if (arrival.fetch.ok && events.fetched) {
                events.fetched(slot, job);
            }
            std::lock_guard<std::mutex> hold(lock);
            arrivals.push_back(std::move(arrival));
            wake.notify_one();
            if (once) {
                break;  // the caller takes it before the next one starts
            }
        }
    };

    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> hold(lock);
        for (std::size_t slot = 0; slot < std::min(kMaxTransfers, jobs.size()); ++slot) {
            try {
                threads.emplace_back([&, slot] {
                    transfer(slot, false);
                    ++spare;
                    std::lock_guard<std::mutex> done(lock);
                    --running;
                    wake.notify_one();
                });
                ++running;
            } catch (const std::system_error&) {
                break;  // fewer transfers at once: slower, not wrong
            }
        }
        spare += kMaxTransfers - threads.size();
    }

    TransfersOutcome outcome;
    bool failed = false;
    const auto take = [&](Arrival& arrival) {
        if (failed) {
            return;  // nothing after the first failure is used
        }
        if (!arrival.fetch.ok) {
            failed = true;
            outcome.failedJob = arrival.job;
            outcome.failure = std::move(arrival.fetch);
        } else if (!events.arrived(arrival.job, partialDir / Utf8ToWide(jobs[arrival.job].digest),
                                   arrival.fetch)) {
            failed = true;
            outcome.refused = true;
        }
        if (failed) {
            stop.store(true);
        }
    };
    for (;;) {
        if (threads.empty()) {
            // No thread could be started: one transfer, here.
            if (next.load() >= jobs.size() || stop.load()) {
                break;
            }
            transfer(0, true);
        }
        std::unique_lock<std::mutex> hold(lock);
        wake.wait(hold, [&] { return !arrivals.empty() || running == 0; });
        if (arrivals.empty()) {
            if (!threads.empty()) {
                break;  // every transfer has ended and all it fetched was taken
            }
            continue;
        }
        Arrival arrival = std::move(arrivals.front());
        arrivals.pop_front();
        hold.unlock();
        take(arrival);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    outcome.complete = !failed;
    return outcome;
}

}  // namespace zelk

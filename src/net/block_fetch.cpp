#include "net/block_fetch.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "common/text.h"
#include "common/win_handles.h"
#include "install/file_helpers.h"
#include "integrity/digest_text.h"
#include "integrity/sha256.h"
#include "net/block_cutter.h"
#include "net/block_map.h"
#include "net/block_plan.h"
#include "net/block_record.h"
#include "net/content.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kPiece = 1u << 20;
// A map larger than this (a file of tens of gigabytes) is not held in memory: the file
// is fetched whole.
constexpr std::uint64_t kLargestMap = 16u << 20;
// A base far larger than the new file would cost more to cut than it can save.
constexpr std::uint64_t kBaseSlack = 1u << 20;
constexpr std::uint64_t kProgressEveryBytes = 64 * 1024;
constexpr DWORD kWaitMs = 100;

std::string Describe(const HttpResult& result) {
    if (result.status != 0 && result.status != 200 && result.status != 206) {
        return "HTTP " + std::to_string(result.status);
    }
    return "error " + std::to_string(result.error);
}

bool ReadAt(HANDLE file, std::uint64_t offset, std::uint8_t* into, DWORD length) {
    for (DWORD done = 0; done < length;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD read = 0;
        if (!ReadFile(file, into + done, length - done, &read, &at) || read == 0) {
            return false;
        }
        done += read;
    }
    return true;
}

bool WriteAt(HANDLE file, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(kPiece, bytes.size() - done));
        if (!WriteFile(file, bytes.data() + done, piece, &written, &at) || written == 0) {
            if (GetLastError() == ERROR_SUCCESS) {
                SetLastError(ERROR_WRITE_FAULT);
            }
            return false;
        }
        done += written;
    }
    return true;
}

std::unique_ptr<std::uint8_t[]> Buffer(std::size_t bytes) {
    try {
        return std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
    } catch (const std::exception&) {  // bad_alloc
        return nullptr;
    }
}

// The map of the new content, from the first base that serves it whole. why says what
// went wrong when there is none; failed is set when nothing answered at all.
std::optional<std::vector<Block>> FetchMap(const HttpSession& session,
                                           const std::vector<std::wstring>& bases,
                                           const BlockSource& source, std::uint64_t size,
                                           const std::atomic<bool>* cancel, std::size_t& served,
                                           ContentFetch& fetch, bool& failed,
                                           std::vector<std::uint8_t>& map) {
    const std::uint64_t cap = std::min(MaxBlockMapSize(size), kLargestMap);
    for (served = 0; served < bases.size(); ++served) {
        HttpRequest how;
        how.url = bases[served] + L"/files/" + Utf8ToWide(source.mapDigest);
        how.maxBytes = cap;
        how.limits = kContentLimits;
        how.cancel = cancel;
        map.clear();
        const AnswerCheck wanted = [](const HttpAnswer& answer) { return answer.status == 200; };
        const ChunkSink sink = [&](std::span<const std::uint8_t> chunk) {
            fetch.received += chunk.size();
            try {
                map.insert(map.end(), chunk.begin(), chunk.end());
            } catch (const std::exception&) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return false;
            }
            return true;
        };
        fetch.last = httpFetch(session, how, wanted, sink);
        if (cancel != nullptr && cancel->load()) {
            failed = true;
            return std::nullopt;
        }
        if (!fetch.last) {
            fetch.fallback = "block map " + source.mapDigest + " not served (" +
                             (fetch.last.error == ERROR_FILE_TOO_LARGE
                                  ? std::string("larger than the file allows")
                                  : Describe(fetch.last)) +
                             ")";
            continue;
        }
        if (sha256Hex(map) != source.mapDigest) {
            fetch.fallback = "block map " + source.mapDigest + " holds other content";
            continue;
        }
        auto blocks = ReadBlockMap(map, size);
        if (!blocks) {
            fetch.fallback = "block map " + source.mapDigest + " is invalid";
            map.clear();
            return std::nullopt;  // signed and well served: no server has a better one
        }
        return blocks;
    }
    map.clear();
    return std::nullopt;
}

// The blocks of the older copy from the map recorded when it was installed: only when
// that map describes a file of exactly its size. Its blocks are then taken as they are
// (the file's digest at the end checks them with the rest).
std::optional<std::vector<Block>> RecordedBlocks(const fs::path& path, std::uint64_t size) {
    std::vector<std::uint8_t> map;
    if (path.empty() || !ReadWholeFile(path, map, std::min(MaxBlockMapSize(size), kLargestMap))) {
        return std::nullopt;
    }
    return ReadBlockMap(map, size);
}

// The blocks of the base, cut as the publisher cuts and each hashed: the cutting reads
// the file in order on this thread while threads of their own hash the blocks it has
// cut, each reading its block again (from the cache), so hashing uses every core.
std::optional<std::vector<Block>> CutBase(HANDLE file, std::uint64_t size,
                                          const std::atomic<bool>* cancel) {
    struct Shared {
        std::mutex lock;
        std::condition_variable more;
        std::deque<Block> blocks;  // cut so far; stable while it grows at the end
        std::size_t next = 0;      // the next block to hash
        bool cut = false;          // every block is cut
        bool failed = false;
    } shared;
    const auto hashBlocks = [&] {
        const auto buffer = Buffer(kBlockMaximum);
        for (;;) {
            Block* block = nullptr;
            {
                std::unique_lock<std::mutex> hold(shared.lock);
                shared.more.wait(hold, [&] {
                    return shared.failed || shared.next < shared.blocks.size() || shared.cut;
                });
                if (shared.failed || shared.next == shared.blocks.size()) {
                    return;
                }
                block = &shared.blocks[shared.next++];
            }
            Sha256Digest digest{};
            const bool hashed = buffer && ReadAt(file, block->offset, buffer.get(), block->size) &&
                                sha256Digest({buffer.get(), block->size}, digest);
            std::lock_guard<std::mutex> hold(shared.lock);
            if (!hashed) {
                shared.failed = true;
                shared.more.notify_all();
                return;
            }
            block->digest = digest;
        }
    };
    std::vector<std::thread> hashers;
    const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    try {
        for (unsigned i = 0; i < cores; ++i) {
            hashers.emplace_back(hashBlocks);
        }
    } catch (const std::exception&) {  // fewer threads: slower, not wrong
    }

    const auto buffer = Buffer(kPiece);
    BlockCutter cutter;
    std::vector<std::uint64_t> ends;
    std::uint64_t start = 0;
    bool ok = buffer != nullptr;
    const auto publish = [&] {
        std::lock_guard<std::mutex> hold(shared.lock);
        for (const std::uint64_t end : ends) {
            shared.blocks.push_back({start, static_cast<std::uint32_t>(end - start), {}});
            start = end;
        }
        ends.clear();
        shared.more.notify_all();
    };
    for (std::uint64_t done = 0; ok && done < size;) {
        const DWORD piece = static_cast<DWORD>(std::min<std::uint64_t>(kPiece, size - done));
        if ((cancel != nullptr && cancel->load()) || !ReadAt(file, done, buffer.get(), piece)) {
            ok = false;
            break;
        }
        CutBlocks(cutter, {buffer.get(), piece}, ends);
        done += piece;
        publish();
    }
    if (ok) {
        FinishBlocks(cutter, ends);
        publish();
    }
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.cut = true;
        shared.failed = shared.failed || !ok;
        shared.more.notify_all();
    }
    for (std::thread& hasher : hashers) {
        hasher.join();
    }
    if (hashers.empty() && !shared.failed) {
        hashBlocks();  // no thread could be started: here, then
    }
    if (shared.failed) {
        return std::nullopt;
    }
    return std::vector<Block>(shared.blocks.begin(), shared.blocks.end());
}

// The record's text, when there is one of a sensible size.
std::optional<std::vector<HeldRange>> ReadRecord(const fs::path& path, const std::string& mapDigest,
                                                 std::uint64_t size) {
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(path, bytes, 1u << 20)) {
        return std::nullopt;
    }
    return ReadBlockRecord(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), mapDigest,
        size);
}

// Everything the fetching threads and the building thread share.
struct Build {
    Build(const HttpSession& session, const std::vector<std::wstring>& bases, std::wstring suffix,
          std::uint64_t size, const std::vector<Block>& target, const std::vector<BlockStep>& steps,
          HANDLE partial, HANDLE record, const ProgressCallback& progress)
        : session(session),
          bases(bases),
          suffix(std::move(suffix)),
          size(size),
          target(target),
          steps(steps),
          partial(partial),
          record(record),
          progress(progress) {}

    const HttpSession& session;
    const std::vector<std::wstring>& bases;
    std::wstring suffix;  // "/files/<digest>"
    std::uint64_t size;
    const std::vector<Block>& target;
    const std::vector<BlockStep>& steps;
    HANDLE partial;
    HANDLE record;
    const ProgressCallback& progress;

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> nextFetch{0};
    std::vector<std::size_t> toFetch;  // indices of the fetch steps not held yet

    std::mutex lock;  // what follows, and the record's writes and the progress calls
    std::condition_variable changed;
    std::vector<bool> done;  // by step
    std::size_t base = 0;    // the base serving the ranges: the next after a failure
    std::string why;         // a surprise: fetch the file whole
    bool failed = false;     // the network or the disk failed
    HttpResult last;
    DWORD writeError = 0;
    std::uint64_t fetched = 0;  // fetched bytes held, those of an earlier run included
    std::uint64_t shown = 0;
    std::uint64_t received = 0;
    std::size_t ranges = 0;

    void Fail(std::string reason, DWORD error = 0) {
        std::lock_guard<std::mutex> hold(lock);
        if (why.empty() && !failed) {
            if (error != 0 || reason.empty()) {
                failed = true;
                writeError = error;
            } else {
                why = std::move(reason);
            }
        }
        stop.store(true);
        changed.notify_all();
    }
};

// The index of the first block of the new file at offset (a step starts on one).
std::size_t BlockAt(const std::vector<Block>& target, std::uint64_t offset) {
    return static_cast<std::size_t>(
        std::lower_bound(target.begin(), target.end(), offset,
                         [](const Block& block, std::uint64_t at) { return block.offset < at; }) -
        target.begin());
}

enum class Range { Held, Surprise, NetworkFailed, WriteFailed, Stopped };

void ShowProgress(Build& build, std::uint64_t added) {
    // Under the lock: the progress callback is not made for several threads at once.
    std::lock_guard<std::mutex> hold(build.lock);
    build.fetched += added;
    if (build.progress && build.fetched - build.shown >= kProgressEveryBytes) {
        build.shown = build.fetched;
        build.progress(build.fetched);
    }
}

// One fetch step from one base: every byte written where it belongs and checked against
// its block's digest as the block completes.
Range FetchRange(Build& build, const BlockStep& step, std::size_t base, std::string& surprise,
                 HttpResult& result, DWORD& writeError) {
    const std::uint64_t last = step.offset + step.length - 1;
    HttpRequest how;
    how.url = build.bases[base] + build.suffix;
    how.offset = step.offset;
    how.last = last;
    how.limits = kContentLimits;
    how.cancel = &build.stop;
    const AnswerCheck wanted = [&](const HttpAnswer& answer) {
        if (answer.status == 206 && answer.range &&
            RangeIsExactly(*answer.range, step.offset, last, build.size)) {
            return true;
        }
        surprise = "bytes " + std::to_string(step.offset) + "-" + std::to_string(last) +
                   " answered HTTP " + std::to_string(answer.status);
        if (answer.status == 206) {
            surprise += !answer.range
                            ? std::string(" without a usable Content-Range")
                            : " with Content-Range bytes " + std::to_string(answer.range->first) +
                                  "-" + std::to_string(answer.range->last) + "/" +
                                  (answer.range->complete ? std::to_string(*answer.range->complete)
                                                          : std::string("*"));
        }
        return false;
    };
    std::uint64_t counted = 0;  // this request's bytes in the progress
    std::size_t block = BlockAt(build.target, step.offset);
    std::uint64_t at = step.offset;  // where the next byte goes
    std::uint64_t inBlock = 0;       // bytes of the current block so far
    Sha256Stream hash = Sha256Begin();
    const ChunkSink sink = [&](std::span<const std::uint8_t> chunk) {
        {
            std::lock_guard<std::mutex> hold(build.lock);
            build.received += chunk.size();
        }
        if (chunk.size() > last + 1 - at) {
            SetLastError(ERROR_FILE_TOO_LARGE);
            return false;
        }
        if (!WriteAt(build.partial, at, chunk)) {
            writeError = GetLastError();
            return false;
        }
        const std::size_t arrived = chunk.size();
        while (!chunk.empty()) {
            const Block& expected = build.target[block];
            const auto piece = static_cast<std::size_t>(
                std::min<std::uint64_t>(chunk.size(), expected.size - inBlock));
            if (!Sha256Add(hash, chunk.first(piece))) {
                writeError = ERROR_GEN_FAILURE;
                return false;
            }
            chunk = chunk.subspan(piece);
            at += piece;
            inBlock += piece;
            if (inBlock == expected.size) {
                Sha256Digest digest{};
                if (!Sha256Finish(hash, digest) || digest != expected.digest) {
                    surprise = "block " + std::to_string(block) + " (bytes " +
                               std::to_string(expected.offset) + "-" +
                               std::to_string(expected.offset + expected.size - 1) +
                               ") differs from its digest in the map";
                    SetLastError(ERROR_INVALID_DATA);
                    return false;
                }
                hash = Sha256Begin();
                ++block;
                inBlock = 0;
            }
        }
        counted += arrived;
        ShowProgress(build, arrived);
        return true;
    };
    result = httpFetch(build.session, how, wanted, sink);
    if (!result || at != last + 1) {
        std::lock_guard<std::mutex> hold(build.lock);
        build.fetched -= counted;  // asked for again, or not at all
    }
    if (writeError != 0) {
        return Range::WriteFailed;
    }
    if (!surprise.empty()) {
        return Range::Surprise;
    }
    if (build.stop.load()) {
        return Range::Stopped;
    }
    // A body that ends early is a cut transfer: another base may serve the range.
    return result && at == last + 1 ? Range::Held : Range::NetworkFailed;
}

// Appends the line of a range once its bytes are on disk.
bool RecordRange(Build& build, const BlockStep& step) {
    if (!FlushFileBuffers(build.partial)) {
        return false;
    }
    const std::string line = BlockRecordLine({step.offset, step.length});
    std::lock_guard<std::mutex> hold(build.lock);
    DWORD written = 0;
    return WriteFile(build.record, line.data(), static_cast<DWORD>(line.size()), &written,
                     nullptr) &&
           written == line.size();
}

// A fetching thread: takes the fetch steps not yet held, in file order.
void FetchSteps(Build& build) {
    for (;;) {
        const std::size_t taken = build.nextFetch.fetch_add(1);
        if (build.stop.load() || taken >= build.toFetch.size()) {
            return;
        }
        const std::size_t index = build.toFetch[taken];
        const BlockStep& step = build.steps[index];
        for (;;) {
            std::size_t base = 0;
            {
                std::lock_guard<std::mutex> hold(build.lock);
                base = build.base;
                ++build.ranges;
            }
            std::string surprise;
            HttpResult result;
            DWORD writeError = 0;
            const Range range = FetchRange(build, step, base, surprise, result, writeError);
            if (range == Range::Held) {
                // Unrecorded, the bytes are still used: only a resume asks for them again.
                RecordRange(build, step);
                std::lock_guard<std::mutex> hold(build.lock);
                build.done[index] = true;
                build.changed.notify_all();
                break;
            }
            if (range == Range::Surprise) {
                build.Fail(surprise);
                return;
            }
            if (range == Range::WriteFailed) {
                build.Fail({}, writeError);
                return;
            }
            if (range == Range::Stopped) {
                return;
            }
            // The network failed: the next base, if any, serves this range and the rest.
            std::unique_lock<std::mutex> hold(build.lock);
            build.last = result;
            if (build.base == base) {
                ++build.base;
            }
            if (build.base >= build.bases.size()) {
                hold.unlock();
                build.Fail({});
                return;
            }
        }
    }
}

}  // namespace

fs::path BlockRecordPath(const fs::path& partialFile) {
    return partialFile.native() + L".plan";
}

fs::path MapRecordPath(const fs::path& partialFile) {
    return partialFile.native() + L".blocs";
}

void RecordBlockMap(const HttpSession& session, const std::vector<std::wstring>& bases,
                    const BlockSource& source, std::uint64_t size, const fs::path& partialFile,
                    std::vector<std::uint8_t> map, const std::atomic<bool>* cancel) {
    if (!IsDigestText(source.mapDigest)) {
        return;
    }
    if (map.empty()) {
        std::size_t served = 0;
        bool failed = false;
        ContentFetch ignored;
        if (!FetchMap(session, bases, source, size, cancel, served, ignored, failed, map)) {
            return;  // no record: the next update cuts the file instead
        }
    }
    WriteFileAtomically(MapRecordPath(partialFile), map);
}

BlockOutcome BuildFromBlocks(const HttpSession& session, const std::vector<std::wstring>& bases,
                             const std::string& digest, std::uint64_t size,
                             const fs::path& partialFile, const BlockSource& source,
                             const ProgressCallback& progress, const std::atomic<bool>* cancel,
                             ContentFetch& fetch, std::vector<std::uint8_t>& map) {
    const fs::path recordPath = BlockRecordPath(partialFile);
    if (!IsDigestText(source.mapDigest) || bases.empty()) {
        fetch.fallback = "no usable block map";
        return BlockOutcome::Whole;
    }
    // The base: a file of its own below the data root, never reached through a link.
    UniqueFile base = OpenOwnFile(source.base, GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false);
    LARGE_INTEGER baseSize{};
    if (!base || !GetFileSizeEx(base.get(), &baseSize)) {
        fetch.fallback =
            "no older copy to build from (error " + std::to_string(GetLastError()) + ")";
        return BlockOutcome::Whole;
    }
    if (static_cast<std::uint64_t>(baseSize.QuadPart) > 2 * size + kBaseSlack) {
        fetch.fallback = "the older copy is far larger than the file";
        return BlockOutcome::Whole;
    }

    std::size_t served = 0;
    bool failed = false;
    const auto target = FetchMap(session, bases, source, size, cancel, served, fetch, failed, map);
    if (failed) {
        return BlockOutcome::Failed;
    }
    if (!target) {
        return BlockOutcome::Whole;
    }
    const std::uint64_t cutBegan = GetTickCount64();
    auto held = RecordedBlocks(source.baseMap, static_cast<std::uint64_t>(baseSize.QuadPart));
    fetch.blockBaseRecorded = held.has_value();
    if (!held) {
        held = CutBase(base.get(), static_cast<std::uint64_t>(baseSize.QuadPart), cancel);
    }
    if (cancel != nullptr && cancel->load()) {
        return BlockOutcome::Failed;
    }
    if (!held) {
        fetch.fallback =
            "the older copy could not be read (error " + std::to_string(GetLastError()) + ")";
        return BlockOutcome::Whole;
    }
    fetch.blockCutMs = GetTickCount64() - cutBegan;
    const BlockPlan plan = PlanBlocks(*target, *held);
    if (plan.fetchWhole) {
        fetch.fallback = "the blocks to fetch come to " + std::to_string(plan.fetchBytes) +
                         " bytes of " + std::to_string(size) + ": cheaper whole";
        return BlockOutcome::Whole;
    }

    // The partial file: its ranges on disk are those its record names (none when the
    // record is for another map, or missing); the rest is written again.
    UniqueFile partial = OpenOwnFile(partialFile, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, true);
    std::vector<HeldRange> onDisk =
        ReadRecord(recordPath, source.mapDigest, size).value_or(std::vector<HeldRange>{});
    UniqueFile record;
    if (partial) {
        if (onDisk.empty()) {
            const std::string header = BlockRecordHeader(source.mapDigest);
            record = OpenOwnFile(recordPath, GENERIC_WRITE, FILE_SHARE_READ, true);
            DWORD written = 0;
            if (!record || !SetEndOfFile(record.get()) ||
                !WriteFile(record.get(), header.data(), static_cast<DWORD>(header.size()), &written,
                           nullptr)) {
                record.reset();
            }
        } else {
            record = OpenOwnFile(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ, false);
        }
    }
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!partial || !record || !SetFilePointerEx(partial.get(), end, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(partial.get())) {
        fetch.writeError = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
        return BlockOutcome::Failed;
    }

    Build build(session, bases, L"/files/" + Utf8ToWide(digest), size, *target, plan.steps,
                partial.get(), record.get(), progress);
    build.base = served;
    build.done.assign(plan.steps.size(), false);
    for (std::size_t i = 0; i < plan.steps.size(); ++i) {
        const BlockStep& step = plan.steps[i];
        if (!step.fetch) {
            continue;
        }
        if (std::find(onDisk.begin(), onDisk.end(), HeldRange{step.offset, step.length}) !=
            onDisk.end()) {
            build.done[i] = true;
            build.fetched += step.length;
        } else {
            build.toFetch.push_back(i);
        }
    }
    if (source.planned) {
        source.planned(plan.fetchBytes);
    }
    if (progress) {
        progress(build.fetched);
    }

    std::vector<std::thread> fetchers;
    std::size_t borrowed = 0;
    // The transfers lent for more ranges at once go back whatever happens here.
    struct GiveBack {
        const BlockSource& source;
        const std::size_t& borrowed;
        ~GiveBack() {
            if (source.giveBack && borrowed > 0) {
                source.giveBack(borrowed);
            }
        }
    } giveBack{source, borrowed};
    try {
        const std::size_t wanted = std::min(kMaxTransfers, build.toFetch.size());
        borrowed = wanted > 1 ? (source.borrow ? source.borrow(wanted - 1) : wanted - 1) : 0;
        for (std::size_t i = 0; i < std::min(1 + borrowed, wanted); ++i) {
            fetchers.emplace_back([&build] { FetchSteps(build); });
        }
    } catch (const std::exception&) {  // fewer at once: slower, not wrong
    }
    if (fetchers.empty() && !build.toFetch.empty()) {
        fetch.fallback = "no thread could be started for the ranges";
        return BlockOutcome::Whole;
    }

    // Here, in file order: copies from the base, and the whole file hashed as it is
    // built (fetched ranges read back once they are written).
    const auto buffer = Buffer(kPiece);
    Sha256Stream whole = Sha256Begin();
    const std::uint64_t buildBegan = GetTickCount64();
    LARGE_INTEGER frequency{}, before{}, after{};
    QueryPerformanceFrequency(&frequency);
    std::int64_t hashTicks = 0;
    DWORD localError = buffer && whole ? 0 : ERROR_NOT_ENOUGH_MEMORY;
    std::uint64_t copied = 0;
    for (std::size_t i = 0; i < plan.steps.size() && localError == 0 && !build.stop.load(); ++i) {
        const BlockStep& step = plan.steps[i];
        if (cancel != nullptr && cancel->load()) {
            build.stop.store(true);
            break;
        }
        if (step.fetch) {
            std::unique_lock<std::mutex> hold(build.lock);
            while (!build.done[i] && !build.stop.load()) {
                build.changed.wait_for(hold, std::chrono::milliseconds(kWaitMs));
                if (cancel != nullptr && cancel->load()) {
                    build.stop.store(true);
                }
            }
            if (!build.done[i]) {
                break;
            }
        }
        for (std::uint64_t done = 0; done < step.length;) {
            const DWORD piece =
                static_cast<DWORD>(std::min<std::uint64_t>(kPiece, step.length - done));
            // The older copy may have changed since it was cut (shorter now, say):
            // what cannot be read from it is a surprise, not a failure.
            if (!step.fetch && !ReadAt(base.get(), step.baseOffset + done, buffer.get(), piece)) {
                build.Fail("the older copy could not be read again (error " +
                           std::to_string(GetLastError()) + ")");
                break;
            }
            const bool ok = step.fetch
                                ? ReadAt(partial.get(), step.offset + done, buffer.get(), piece)
                                : WriteAt(partial.get(), step.offset + done, {buffer.get(), piece});
            QueryPerformanceCounter(&before);
            const bool hashed = ok && Sha256Add(whole, {buffer.get(), piece});
            QueryPerformanceCounter(&after);
            hashTicks += after.QuadPart - before.QuadPart;
            if (!hashed) {
                localError = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
                break;
            }
            done += piece;
        }
        if (!step.fetch) {
            copied += step.length;
        }
    }
    if (localError != 0) {
        build.Fail({}, localError);
    }
    for (std::thread& fetcher : fetchers) {
        fetcher.join();
    }
    fetch.received += build.received;
    fetch.blockRanges = build.ranges;
    fetch.blockCopied = copied;
    fetch.blockFetched = plan.fetchBytes;
    fetch.blockBuildMs = GetTickCount64() - buildBegan;
    fetch.blockHashMs = frequency.QuadPart > 0
                            ? static_cast<std::uint64_t>(hashTicks * 1000 / frequency.QuadPart)
                            : 0;
    if (!build.why.empty()) {
        fetch.fallback = build.why;
        return BlockOutcome::Whole;
    }
    if (build.failed || build.stop.load()) {
        fetch.last = build.last;
        fetch.writeError = build.writeError;
        return BlockOutcome::Failed;
    }
    const std::string built = Sha256FinishHex(whole);
    if (built.empty() || built != digest) {
        fetch.fallback = "the file built from blocks has another digest";
        if (fetch.blockBaseRecorded) {
            RemoveOwnFile(source.baseMap);  // the older copy is not what its map says
        }
        return BlockOutcome::Whole;
    }
    // The copied blocks too are on disk before anything may vouch for the file.
    if (!FlushFileBuffers(partial.get())) {
        fetch.writeError = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
        return BlockOutcome::Failed;
    }
    if (progress) {
        progress(build.fetched);
    }
    fetch.servedBy = bases[std::min(build.base, bases.size() - 1)];
    fetch.last = {true, 206, 0};
    return BlockOutcome::Built;
}

}  // namespace zelk

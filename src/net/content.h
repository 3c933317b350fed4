#pragma once
// Content of a release fetched by its SHA-256 digest, trying servers in order, streamed
// to a file of its own and checked as it arrives.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "net/block_fetch.h"
#include "net/http_client.h"

namespace zelk {

struct ContentFetch {
    bool ok = false;
    std::wstring servedBy;         // the base that delivered, when ok
    HttpResult last;               // how the last request ended
    TroubleTally troubles;         // how every request ended, for what the user is told
    std::uint32_t writeError = 0;  // the file could not be written (not a network fault)
    std::uint64_t received = 0;    // bytes that came over the network, all attempts
    // A differential download (net/block_fetch.h):
    bool fromBlocks = false;         // the content was built from blocks of an older copy
    std::string fallback;            // why it was fetched whole instead, when it was tried
    std::uint64_t blockFetched = 0;  // the bytes of the ranges its plan fetches
    std::uint64_t blockCopied = 0;   // the bytes copied from the older copy
    std::size_t blockRanges = 0;     // range requests of this run
    bool blockBaseRecorded = false;  // the older copy's blocks came from its map record
    std::uint64_t blockCutMs = 0;    // cutting and hashing the older copy
    std::uint64_t blockBuildMs = 0;  // building the file (copies, ranges, its digest)
    std::uint64_t blockHashMs = 0;   // of which hashing the new file
};

// Fetches base + "/files/" + digest from the bases in order until one delivers exactly
// expectedSize bytes whose SHA-256 is expectedDigest, into partialFile. That file is
// named by the digest it belongs to, so bytes already there (a download cut short by an
// earlier run) are the start of this very content: they are hashed again and only the
// rest is asked for, with a Range request. A 200 instead starts the file again; an
// answer that cannot continue them (a 206 for another range, a 416), or bytes that turn
// out wrong, are discarded and the file is fetched whole. On success partialFile holds
// the verified content, flushed to disk; on a network failure it keeps what arrived, for
// the next attempt. A write failure (writeError, with the file removed so its space is
// free again) ends the fetch at once. progress gets the bytes of the file held so far,
// those already on disk included; cancel, once set, ends the fetch within about a
// second.
// With blocks and an older copy, the content is first built from blocks and ranges
// (BuildFromBlocks; progress then counts fetched bytes only): any surprise there fetches
// it whole in the same run (fallback says why). A partial file that holds bytes without
// a block record is a whole download cut short, and resumes as one. With blocks, the
// map of a content once verified is recorded beside it (RecordBlockMap).
ContentFetch downloadContent(const HttpSession& session, const std::vector<std::wstring>& bases,
                             const std::string& expectedDigest, std::uint64_t expectedSize,
                             const std::filesystem::path& partialFile,
                             const ProgressCallback& progress,
                             const std::atomic<bool>* cancel = nullptr,
                             const BlockSource* blocks = nullptr);

// At most this many contents are fetched at once: enough to hide the round trip of each
// request on a long link, few enough to share one server politely.
inline constexpr std::size_t kMaxTransfers = 4;

// One content to fetch by its digest.
struct ContentJob {
    std::string digest;
    std::uint64_t size = 0;
    // A block map: built from blocks of the older copy at base when there is one
    // (downloadContent), and its map recorded once verified.
    std::string blocks = {};
    std::filesystem::path base = {};
    std::filesystem::path baseMap = {};  // the older copy's map record (MapRecordPath)
};

struct TransferEvents {
    // Bytes held by the transfer in slot so far (0 .. kMaxTransfers-1); any thread.
    std::function<void(std::size_t slot, std::uint64_t held)> progress;
    // The transfer in slot counts bytes of job for its progress: what its plan
    // fetches, or its size again when it is fetched whole after all; any thread.
    std::function<void(std::size_t slot, std::size_t job, std::uint64_t bytes)> planned;
    // The transfer in slot has the whole verified content of job; on that transfer's
    // thread, before it takes its next job.
    std::function<void(std::size_t slot, std::size_t job)> fetched;
    // The content of job is whole, verified and flushed to disk in file (fetch says
    // which base served it): the caller moves it where it belongs. On the calling
    // thread, one at a time, in the order they arrive. False stops every transfer (the
    // caller could not use it).
    std::function<bool(std::size_t job, const std::filesystem::path& file,
                       const ContentFetch& fetch)>
        arrived;
};

struct TransfersOutcome {
    bool complete = false;      // every job arrived and was taken
    bool refused = false;       // arrived returned false
    std::size_t failedJob = 0;  // when neither: the job no server delivered
    ContentFetch failure;       // its fetch (writeError set when its file could not be written)
};

// Fetches every job with up to kMaxTransfers transfers at once through downloadContent,
// each into partialDir / digest. The first failure stops the others within about a
// second, whatever their requests wait for, and nothing that arrives after it is
// handed to arrived. Jobs are started in order.
TransfersOutcome FetchContents(const HttpSession& session, const std::vector<std::wstring>& bases,
                               const std::vector<ContentJob>& jobs,
                               const std::filesystem::path& partialDir,
                               const TransferEvents& events);

}  // namespace zelk

#pragma once
// A differential download: the new content built into its partial file from the blocks
// an older copy on disk (the base) already holds, and ranges of the new content for
// the rest (net/block_plan.h). One more way for downloadContent to fill a partial file:
// the result is held to the same size and SHA-256 before anything uses it.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "net/http_client.h"

namespace zelk {

struct ContentFetch;

// What a content needs to be built from blocks: its map's digest (the manifest entry's
// "blocks") and an older copy of the file.
struct BlockSource {
    std::string mapDigest;
    std::filesystem::path base;  // none: the content is fetched whole, its map recorded
    // The map recorded for the older copy's content when it was installed
    // (MapRecordPath), if any: its blocks need no cutting nor hashing.
    std::filesystem::path baseMap = {};
    // Called with the bytes the plan fetches once it is made (the progress then counts
    // those), and with the content's size again when the file is fetched whole after all.
    std::function<void(std::uint64_t bytes)> planned;
    // Its ranges take its own transfer, and as many more (up to wanted) as borrow gives,
    // which giveBack returns at the end; without them, kMaxTransfers in all.
    std::function<std::size_t(std::size_t wanted)> borrow = {};
    std::function<void(std::size_t given)> giveBack = {};
};

enum class BlockOutcome {
    Built,   // the partial file holds the verified content
    Whole,   // fetch the file whole instead (ContentFetch::fallback says why)
    Failed,  // the network or the disk failed, or cancel: the record stays for a resume
};

// The partial file's record of the ranges already on disk.
std::filesystem::path BlockRecordPath(const std::filesystem::path& partialFile);

// The record of the block map of the content named like partialFile ("<digest>.blocs"),
// kept once that content is verified so that the next update of the file needs neither
// to cut nor to hash the installed copy.
std::filesystem::path MapRecordPath(const std::filesystem::path& partialFile);

// Writes that record for a content just verified: map, when the download already holds
// it (verified), else fetched again from bases and checked. Best effort: without it,
// the next update cuts the file.
void RecordBlockMap(const HttpSession& session, const std::vector<std::wstring>& bases,
                    const BlockSource& source, std::uint64_t size,
                    const std::filesystem::path& partialFile, std::vector<std::uint8_t> map,
                    const std::atomic<bool>* cancel);

// Builds partialFile from source.base and ranges of base + "/files/" + digest, trying
// bases in order for the map and for each range. progress gets the fetched bytes held so
// far (those of an earlier run included). Fills fetch (received, last, servedBy, the
// block figures, fallback, writeError), and map with the verified map when it has one.
BlockOutcome BuildFromBlocks(const HttpSession& session, const std::vector<std::wstring>& bases,
                             const std::string& digest, std::uint64_t size,
                             const std::filesystem::path& partialFile, const BlockSource& source,
                             const ProgressCallback& progress, const std::atomic<bool>* cancel,
                             ContentFetch& fetch, std::vector<std::uint8_t>& map);

}  // namespace zelk

#include "net/block_plan.h"

#include <cstring>
#include <unordered_map>

namespace zelk {
namespace {

struct DigestHash {
    std::size_t operator()(const BlockDigest& digest) const {
        std::uint64_t head = 0;
        std::memcpy(&head, digest.data(), sizeof(head));
        return static_cast<std::size_t>(head);
    }
};

}  // namespace

BlockPlan PlanBlocks(std::span<const Block> target, std::span<const Block> base,
                     std::uint64_t rangeCap) {
    std::unordered_map<BlockDigest, const Block*, DigestHash> held;
    held.reserve(base.size());
    for (const Block& block : base) {
        held.emplace(block.digest, &block);  // a repeated block keeps its first place
    }

    BlockPlan plan;
    std::uint64_t fileSize = 0;
    std::uint64_t requests = 0;
    for (const Block& block : target) {
        fileSize += block.size;
        const auto found = held.find(block.digest);
        BlockStep* last = plan.steps.empty() ? nullptr : &plan.steps.back();
        if (found != held.end() && found->second->size == block.size) {
            const std::uint64_t from = found->second->offset;
            if (last && !last->fetch && last->baseOffset + last->length == from) {
                last->length += block.size;
            } else {
                plan.steps.push_back({block.offset, block.size, false, from});
            }
            continue;
        }
        plan.fetchBytes += block.size;
        if (last && last->fetch && last->length + block.size <= rangeCap) {
            last->length += block.size;
        } else {
            plan.steps.push_back({block.offset, block.size, true, 0});
            ++requests;
        }
    }
    if ((plan.fetchBytes + requests * kRequestCost) * 5 > fileSize * 4) {
        plan.fetchWhole = true;
        plan.steps.clear();
        plan.fetchBytes = fileSize;
    }
    return plan;
}

}  // namespace zelk

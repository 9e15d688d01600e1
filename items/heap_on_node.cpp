#include "items/heap_on_node.h"

#include <utility>

#include "storage/block_reader.h"
#include "storage/cfile64.h"

namespace kestrel {

std::optional<HeapAllocation> ResolveHeapAllocation(
    const std::vector<std::vector<uint8_t>>& heapBlocks, uint32_t hid) {
    if (!IsHid(hid)) return std::nullopt;
    const size_t blockIndex = hid >> 16;
    const size_t index = (hid >> 5) & 0x7FF;  // 1-based
    if (index == 0 || blockIndex >= heapBlocks.size()) return std::nullopt;

    // Every heap block starts with the offset of its own page map: cAlloc, cFree, then
    // cAlloc + 1 offsets, allocation i spanning [rgibAlloc[i - 1], rgibAlloc[i]).
    const ByteReader block(heapBlocks[blockIndex]);
    const auto ibHnpm = block.U16(0);
    if (!ibHnpm) return std::nullopt;
    const auto cAlloc = block.U16(*ibHnpm);
    if (!cAlloc || index > *cAlloc) return std::nullopt;
    const size_t table = size_t{*ibHnpm} + 4;
    const auto start = block.U16(table + 2 * (index - 1));
    const auto end = block.U16(table + 2 * index);
    if (!start || !end || *start > *end || *end > block.size()) return std::nullopt;
    return HeapAllocation{blockIndex, *start, *end};
}

HeapOnNode::HeapOnNode(std::vector<std::vector<uint8_t>> blocks) : blocks_(std::move(blocks)) {
    if (blocks_.empty()) return;
    const ByteReader first(blocks_.front());
    const auto signature = first.U8(2);
    const auto client = first.U8(3);
    const auto root = first.U32(4);
    if (!signature || *signature != kHeapSignature || !client || !root) return;
    clientSignature_ = *client;
    userRoot_ = *root;
    valid_ = true;
}

HeapOnNode HeapOnNode::Load(PstContext& context, const BlockRecord* dataBlock) {
    if (!dataBlock || context.Stopped()) return {};
    std::vector<std::vector<uint8_t>> blocks;
    try {
        if (ReadDataBlocks(context, dataBlock, blocks) == 0) return {};
    } catch (const FileError&) {
        // A read error leaves this node without properties; the caller goes on.
        return {};
    }
    return HeapOnNode(std::move(blocks));
}

std::optional<ByteReader> HeapOnNode::Allocation(uint32_t hid) const {
    const auto allocation = ResolveHeapAllocation(blocks_, hid);
    if (!allocation) return std::nullopt;
    const auto& block = blocks_[allocation->blockIndex];
    return ByteReader(block.data() + allocation->start, allocation->end - allocation->start);
}

}  // namespace kestrel

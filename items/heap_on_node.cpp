#include "items/heap_on_node.h"

#include <utility>

#include "storage/block_reader.h"
#include "storage/cfile64.h"

namespace kestrel {

namespace {

// HNHDR: ibHnpm, bSig, bClientSig, hidUserRoot (rgbFillLevel, unused, follows).
constexpr size_t kHeaderSignatureAt = 2;
constexpr size_t kHeaderClientAt = 3;
constexpr size_t kHeaderUserRootAt = 4;
// HNPAGEMAP: cAlloc, cFree, rgibAlloc.
constexpr size_t kPageMapOffsetsAt = 4;
// A HID: allocation index (1-based) in bits 5..15, block index in the high 16 bits.
constexpr unsigned kHidIndexShift = 5;
constexpr uint32_t kHidIndexMask = 0x7FF;
constexpr unsigned kHidBlockShift = 16;

}  // namespace

std::optional<HeapHeader> ReadHeapHeader(const ByteReader& block) {
    const auto pageMap = block.U16(0);
    const auto signature = block.U8(kHeaderSignatureAt);
    const auto client = block.U8(kHeaderClientAt);
    const auto root = block.U32(kHeaderUserRootAt);
    if (!pageMap || !signature || !client || !root) return std::nullopt;
    return HeapHeader{*pageMap, *signature, *client, *root};
}

std::optional<HeapPageMap> ReadHeapPageMap(const ByteReader& block) {
    const auto ibHnpm = block.U16(0);
    if (!ibHnpm) return std::nullopt;
    const auto cAlloc = block.U16(*ibHnpm);
    if (!cAlloc) return std::nullopt;
    return HeapPageMap{*cAlloc, size_t{*ibHnpm} + kPageMapOffsetsAt};
}

std::optional<HeapAllocation> ResolveHeapAllocation(
    const std::vector<std::vector<uint8_t>>& heapBlocks, uint32_t hid) {
    if (!IsHid(hid)) return std::nullopt;
    const size_t blockIndex = hid >> kHidBlockShift;
    const size_t index = (hid >> kHidIndexShift) & kHidIndexMask;  // 1-based
    if (index == 0 || blockIndex >= heapBlocks.size()) return std::nullopt;

    const ByteReader block(heapBlocks[blockIndex]);
    const auto pageMap = ReadHeapPageMap(block);
    if (!pageMap || index > pageMap->allocationCount) return std::nullopt;
    const auto start = block.U16(pageMap->offsetsAt + 2 * (index - 1));
    const auto end = block.U16(pageMap->offsetsAt + 2 * index);
    if (!start || !end || *start > *end || *end > block.size()) return std::nullopt;
    return HeapAllocation{blockIndex, *start, *end};
}

HeapOnNode::HeapOnNode(std::vector<std::vector<uint8_t>> blocks) : blocks_(std::move(blocks)) {
    if (blocks_.empty()) return;
    const auto header = ReadHeapHeader(blocks_.front());
    if (!header || header->signature != kHeapSignature) return;
    clientSignature_ = header->clientSignature;
    userRoot_ = header->userRoot;
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

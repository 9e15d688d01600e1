#pragma once
// A node's heap: the decoded data blocks of the node, each with its own page map, and the
// HID lookup that finds an allocation in them.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "storage/byte_reader.h"
#include "storage/nid.h"
#include "storage/pst_context.h"

namespace kestrel {

// The heap signature byte and the two client signatures the parser knows.
inline constexpr uint8_t kHeapSignature = 0xEC;
inline constexpr uint8_t kClientPropertyContext = 0xBC;
inline constexpr uint8_t kClientTableContext = 0x7C;

// True when value is a HID rather than a subnode NID: a HID has NID type 0 (low five bits).
inline bool IsHid(uint32_t hnid) {
    return hnid != 0 && NidTypeOf(hnid) == NidType::Hid;
}

// The HNHDR that starts a heap's first block.
struct HeapHeader {
    uint16_t pageMapOffset = 0;   // ibHnpm
    uint8_t signature = 0;        // bSig
    uint8_t clientSignature = 0;  // bClientSig
    uint32_t userRoot = 0;        // hidUserRoot
};
// nullopt when the block is too short for it.
std::optional<HeapHeader> ReadHeapHeader(const ByteReader& block);

// Every heap block starts with the offset of its page map (HNPAGEMAP): cAlloc, cFree, then
// cAlloc + 1 offsets, allocation i spanning [allocations[i - 1], allocations[i]).
struct HeapPageMap {
    uint16_t allocationCount = 0;  // cAlloc
    size_t offsetsAt = 0;          // where rgibAlloc starts in the block
};
// nullopt when the block is too short for its page map's head.
std::optional<HeapPageMap> ReadHeapPageMap(const ByteReader& block);

// One heap allocation [start, end) in the heap block it lives in.
struct HeapAllocation {
    size_t blockIndex = 0;
    size_t start = 0;
    size_t end = 0;
};

// Resolves hid (block index hid >> 16, allocation index (hid >> 5) & 0x7FF) against the
// page map of that heap block. nullopt when hid is 0 or anything does not check out.
std::optional<HeapAllocation> ResolveHeapAllocation(
    const std::vector<std::vector<uint8_t>>& heapBlocks, uint32_t hid);

class HeapOnNode {
  public:
    HeapOnNode() = default;
    explicit HeapOnNode(std::vector<std::vector<uint8_t>> blocks);

    // Reads the node's data (one block or a data tree) block by block. The heap is invalid
    // when nothing was read or the first block has no heap header.
    static HeapOnNode Load(PstContext& context, const BlockRecord* dataBlock);

    // The first block starts with the heap header: ibHnpm, bSig 0xEC, bClientSig, root.
    bool valid() const { return valid_; }
    uint8_t clientSignature() const { return clientSignature_; }
    uint32_t userRoot() const { return userRoot_; }

    // The bytes of the allocation hid names; nullopt when it does not resolve.
    std::optional<ByteReader> Allocation(uint32_t hid) const;

    const std::vector<std::vector<uint8_t>>& blocks() const { return blocks_; }

  private:
    std::vector<std::vector<uint8_t>> blocks_;
    bool valid_ = false;
    uint8_t clientSignature_ = 0;
    uint32_t userRoot_ = 0;
};

}  // namespace kestrel

#pragma once
// A node's heap: the decoded data blocks of the node, each with its own page map, and the
// HID lookup that finds an allocation in them.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "items/property_parser.h"
#include "storage/byte_reader.h"
#include "storage/pst_context.h"

namespace kestrel {

// The heap signature byte and the two client signatures the parser knows.
inline constexpr uint8_t kHeapSignature = 0xEC;
inline constexpr uint8_t kClientPropertyContext = 0xBC;
inline constexpr uint8_t kClientTableContext = 0x7C;

// True when value is a HID rather than a subnode NID: a HID has NID type 0 (low five bits).
inline bool IsHid(uint32_t hnid) {
    return hnid != 0 && (hnid & 0x1F) == 0;
}

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

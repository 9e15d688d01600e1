#pragma once
// What the bits of node and block IDs say: a NID's low five bits are its type, a BID's bit 1
// marks a block of the data or subnode trees, bit 0 is no part of the key.
#include <cstdint>

namespace kestrel {

inline constexpr uint32_t kNidTypeMask = 0x1F;

// The NID types the reader looks at.
enum class NidType : uint32_t {
    Hid = 0x00,  // not a node: a heap allocation
    NormalFolder = 0x02,
    NormalMessage = 0x04,
    AssocMessage = 0x08,  // a folder-associated (hidden) message
};

constexpr NidType NidTypeOf(uint32_t nid) {
    return static_cast<NidType>(nid & kNidTypeMask);
}

// NIDs from here up are not the file's own: a node-tree entry that claims one is damaged.
inline constexpr uint32_t kHighNid = 0x80000000;

// The message store, the smallest NID of a sound node tree.
inline constexpr uint32_t kMessageStoreNid = 0x21;

// Set in the BID of a data-tree or subnode block; clear in a data block's.
inline constexpr uint64_t kBidInternalBit = 2;
// Some writers set bit 0; lookups ignore it.
inline constexpr uint64_t kBidIgnoredBit = 1;

constexpr bool IsInternalBid(uint64_t bid) {
    return (bid & kBidInternalBit) != 0;
}

// The BID as the block index keys it.
constexpr uint64_t BidKey(uint64_t bid) {
    return bid & ~kBidIgnoredBit;
}

}  // namespace kestrel

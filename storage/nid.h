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

// The nodes every file has at fixed NIDs: the message store (the smallest NID of a sound
// node tree), the name-to-ID map, the root folder and the usual top of the folder
// hierarchy; and the subnodes that hold a message's recipient and attachment tables.
inline constexpr uint32_t kMessageStoreNid = 0x21;
inline constexpr uint32_t kNameToIdMapNid = 0x61;
inline constexpr uint32_t kRootFolderNid = 0x122;
inline constexpr uint32_t kDefaultTopFolderNid = 0x2142;
inline constexpr uint32_t kRecipientTableNid = 0x692;
inline constexpr uint32_t kAttachmentTableNid = 0x671;

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

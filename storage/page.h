#pragma once
// B-tree pages: the entries, the page metadata right after them and the page trailer at
// the end, in a page of the layout's size. The three entry kinds and the two tail
// structures, read through the variant's layout; a field the bytes do not hold reads as
// zero.
#include <cstddef>
#include <cstdint>

#include "storage/byte_reader.h"
#include "storage/pst_layout.h"

namespace kestrel {

// The page size of the Ansi and Unicode layouts; a walker takes its file's from the layout.
inline constexpr size_t kPageSize = 512;

// ptype of the B-tree pages.
enum class PageType : uint8_t { BlockTree = 0x80, NodeTree = 0x81 };

struct PageTrailer {
    uint8_t ptype = 0;
    uint8_t ptypeRepeat = 0;
    uint16_t signature = 0;  // wSig
    uint32_t crc = 0;        // of the bytes before the trailer
    uint64_t bid = 0;        // the page's own BID
};

struct BTreePageMetadata {
    uint16_t entryCount = 0;  // cEnt: the live entries
    uint16_t maxEntries = 0;  // cEntMax
    uint8_t entrySize = 0;    // cbEnt
    uint8_t level = 0;        // cLevel: 0 for a leaf page
};

struct BlockLeafEntry {  // BBTENTRY
    uint64_t bid = 0;
    uint64_t ib = 0;
    uint16_t cb = 0;
    uint16_t cRef = 0;
    uint16_t cbInflated = 0;  // the block's size once inflated: cb where the layout has none
};

struct NodeLeafEntry {  // NBTENTRY
    uint32_t nid = 0;   // 32 bits in both variants
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
    uint32_t nidParent = 0;
};

struct IntermediateEntry {  // BTENTRY
    uint64_t key = 0;       // a BID, or a NID in its low 32 bits
    uint64_t bid = 0;       // the child page's
    uint64_t ib = 0;        // where the child page lies
};

// page: the page's bytes from its start.
PageTrailer ReadPageTrailer(const PstLayout& layout, const ByteReader& page);
BTreePageMetadata ReadBTreePageMetadata(const PstLayout& layout, const ByteReader& page);

// entries: the page's bytes from its start; index counts entries of that kind.
BlockLeafEntry ReadBlockLeafEntry(const PstLayout& layout, const ByteReader& entries, size_t index);
NodeLeafEntry ReadNodeLeafEntry(const PstLayout& layout, const ByteReader& entries, size_t index);
IntermediateEntry ReadIntermediateEntry(const PstLayout& layout, const ByteReader& entries,
                                        size_t index);

}  // namespace kestrel

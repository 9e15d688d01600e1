#include "storage/page.h"

namespace kestrel {

PageTrailer ReadPageTrailer(const PstLayout& layout, const ByteReader& page) {
    const size_t at = layout.pageTrailerPos;
    PageTrailer trailer;
    trailer.ptype = page.U8(at).value_or(0);
    trailer.ptypeRepeat = page.U8(at + 1).value_or(0);
    trailer.signature = page.U16(at + 2).value_or(0);
    trailer.crc = page.U32(at + layout.trailerCrcPos).value_or(0);
    trailer.bid = page.UInt(at + layout.trailerBidPos, layout.idSize).value_or(0);
    return trailer;
}

BTreePageMetadata ReadBTreePageMetadata(const PstLayout& layout, const ByteReader& page) {
    const size_t at = layout.entryAreaSize;
    const size_t width = layout.pageCountSize;
    BTreePageMetadata metadata;
    metadata.entryCount = static_cast<uint16_t>(page.UInt(at, width).value_or(0));
    metadata.maxEntries = static_cast<uint16_t>(page.UInt(at + width, width).value_or(0));
    metadata.entrySize = page.U8(at + 2 * width).value_or(0);
    metadata.level = page.U8(at + 2 * width + 1).value_or(0);
    return metadata;
}

BlockLeafEntry ReadBlockLeafEntry(const PstLayout& layout, const ByteReader& entries,
                                  size_t index) {
    const size_t at = index * layout.blockLeafEntrySize;
    const size_t width = layout.idSize;
    BlockLeafEntry entry;
    entry.bid = entries.UInt(at, width).value_or(0);
    entry.ib = entries.UInt(at + layout.blockLeafIbPos, width).value_or(0);
    entry.cb = entries.U16(at + layout.blockLeafCbPos).value_or(0);
    entry.cRef = entries.U16(at + layout.blockLeafRefPos).value_or(0);
    entry.cbInflated = layout.blockLeafInflatedPos == 0
                           ? entry.cb
                           : entries.U16(at + layout.blockLeafInflatedPos).value_or(0);
    return entry;
}

NodeLeafEntry ReadNodeLeafEntry(const PstLayout& layout, const ByteReader& entries, size_t index) {
    const size_t at = index * layout.nodeLeafEntrySize;
    const size_t width = layout.idSize;
    NodeLeafEntry entry;
    entry.nid = entries.U32(at).value_or(0);
    entry.bidData = entries.UInt(at + layout.nodeLeafDataPos, width).value_or(0);
    entry.bidSub = entries.UInt(at + layout.nodeLeafSubPos, width).value_or(0);
    entry.nidParent = entries.U32(at + layout.nodeLeafParentPos).value_or(0);
    return entry;
}

IntermediateEntry ReadIntermediateEntry(const PstLayout& layout, const ByteReader& entries,
                                        size_t index) {
    const size_t at = index * layout.intermediateEntrySize;
    const size_t width = layout.idSize;
    IntermediateEntry entry;
    entry.key = entries.UInt(at, width).value_or(0);
    entry.bid = entries.UInt(at + layout.intermediateBidPos, width).value_or(0);
    entry.ib = entries.UInt(at + layout.intermediateIbPos, width).value_or(0);
    return entry;
}

}  // namespace kestrel

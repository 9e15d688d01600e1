#include "storage/block_trailer.h"

namespace kestrel {

uint64_t BlockSlotSize(const PstLayout& layout, uint32_t cb) {
    const uint64_t align = layout.blockAlignment;
    return (uint64_t{cb} + layout.blockTrailerSize + align - 1) / align * align;
}

uint64_t BlockTrailerOffset(const PstLayout& layout, uint64_t ib, uint32_t cb) {
    const uint64_t slot = BlockSlotSize(layout, cb);
    // A slot past the end of the offsets lies past the end of any file.
    if (ib > UINT64_MAX - slot) return UINT64_MAX;
    return ib + slot - layout.blockTrailerSize;
}

BlockTrailer ReadBlockTrailer(const PstLayout& layout, const ByteReader& trailer) {
    BlockTrailer result;
    result.cb = trailer.U16(0).value_or(0);
    result.signature = trailer.U16(2).value_or(0);
    result.crc = trailer.U32(layout.trailerCrcPos).value_or(0);
    result.bid = trailer.UInt(layout.trailerBidPos, layout.idSize).value_or(0);
    result.cbInflated = layout.trailerInflatedPos == 0
                            ? result.cb
                            : trailer.U16(layout.trailerInflatedPos).value_or(0);
    return result;
}

}  // namespace kestrel

#pragma once
// The trailer that ends every block's slot in the file: the slot is the block's bytes plus
// the trailer, rounded up to the layout's block alignment, and the trailer takes its last
// bytes.
#include <cstddef>
#include <cstdint>

#include "storage/byte_reader.h"
#include "storage/pst_layout.h"

namespace kestrel {

struct BlockTrailer {
    uint16_t cb = 0;          // the block's byte count
    uint16_t signature = 0;   // wSig
    uint32_t crc = 0;         // of the block's cb bytes
    uint64_t bid = 0;         // the block's own BID
    uint16_t cbInflated = 0;  // its size once inflated: cb where the layout has none
};

// The size of the slot a block of cb bytes takes: its bytes and trailer, aligned.
uint64_t BlockSlotSize(const PstLayout& layout, uint32_t cb);

// Where the trailer of a block of cb bytes at ib lies.
uint64_t BlockTrailerOffset(const PstLayout& layout, uint64_t ib, uint32_t cb);

// trailer: bytes from the trailer's start; a field they do not hold reads as zero.
BlockTrailer ReadBlockTrailer(const PstLayout& layout, const ByteReader& trailer);

}  // namespace kestrel

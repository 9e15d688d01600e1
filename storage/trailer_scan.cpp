#include "storage/trailer_scan.h"

#include <algorithm>

#include "storage/block_trailer.h"
#include "storage/byte_reader.h"
#include "storage/crc.h"
#include "storage/page.h"

namespace kestrel {

namespace {

// The largest block slot: a block and its trailer (8 KB, 64 KB in 4 KB-page files).
uint64_t MaxSlot(const PstLayout& layout) {
    return BlockSlotSize(layout, static_cast<uint32_t>(layout.maxBlockData));
}

bool IsTreePage(uint8_t ptype) {
    return ptype == static_cast<uint8_t>(PageType::BlockTree) ||
           ptype == static_cast<uint8_t>(PageType::NodeTree);
}

// The map pages (AMap, PMap, FMap, FPMap) and the density list: their wSig is 0.
bool IsMapPage(uint8_t ptype) {
    return ptype >= 0x82 && ptype <= 0x86;
}

}  // namespace

bool CheckBlockTrailer(const PstLayout& layout, const uint8_t* bytes, size_t size,
                       uint64_t firstOffset, uint64_t slotEnd, ScannedBlock* found,
                       const BlockIndex* known) {
    const size_t trailerSize = layout.blockTrailerSize;
    if (slotEnd < firstOffset + trailerSize || slotEnd - firstOffset > size) return false;
    const size_t end = static_cast<size_t>(slotEnd - firstOffset);
    const ByteReader trailerBytes(bytes + end - trailerSize, trailerSize);
    const uint16_t cb = trailerBytes.U16(0).value_or(0xFFFF);
    if (cb > layout.maxBlockData) return false;
    const uint64_t slot = BlockSlotSize(layout, cb);
    if (slotEnd < slot || slotEnd - slot < firstOffset) return false;
    const uint64_t ib = slotEnd - slot;
    const uint16_t signature = trailerBytes.U16(2).value_or(0);
    const uint64_t bid = trailerBytes.UInt(layout.trailerBidPos, layout.idSize).value_or(0);
    // Zeroed space has a zero BID (and, at some offsets, a signature that fits it).
    if (bid == 0 || signature != ComputeSig(ib, bid)) return false;
    const BlockRecord* live = known ? known->Find(bid) : nullptr;
    if (live == nullptr || live->ib != ib || live->cb != cb) {
        const uint32_t crc = trailerBytes.U32(layout.trailerCrcPos).value_or(0);
        if (crc != PstCrc(bytes + (ib - firstOffset), cb)) return false;
    }
    if (found) {
        const uint16_t inflated = layout.trailerInflatedPos == 0
                                      ? cb
                                      : trailerBytes.U16(layout.trailerInflatedPos).value_or(0);
        *found = {bid, ib, cb, inflated};
    }
    return true;
}

TrailerScan ScanTrailers(PstContext& context, const PstLayout& layout, uint64_t end,
                         const ScanWindowHook& hook) {
    TrailerScan scan;
    end = std::min<uint64_t>(end, context.file.GetLength());
    const uint64_t maxSlot = MaxSlot(layout);
    const size_t pageSize = layout.pageSize;
    std::vector<uint8_t> buffer(kScanWindowSize + maxSlot);
    const size_t trailerAt = layout.pageTrailerPos;
    for (uint64_t pos = 0; pos < end; pos += kScanWindowSize) {
        if (hook && hook(pos, end)) {
            scan.stopped = true;
            return scan;
        }
        if (context.Stopped()) {
            scan.stopped = true;
            return scan;
        }
        const uint64_t windowEnd = std::min<uint64_t>(pos + kScanWindowSize, end);
        const uint64_t readStart = pos - std::min<uint64_t>(pos, maxSlot);
        const size_t got = context.file.ReadAt(readStart, buffer.data(),
                                               static_cast<size_t>(windowEnd - readStart));
        const uint64_t readEnd = readStart + got;
        const uint8_t* bytes = buffer.data();

        // Pages start at offsets of the page size; the file's first pages are the header's.
        for (uint64_t ib = pos; ib + pageSize <= readEnd; ib += pageSize) {
            const uint8_t* page = bytes + (ib - readStart);
            const uint8_t ptype = page[trailerAt];
            if (ptype != page[trailerAt + 1]) continue;
            const bool tree = IsTreePage(ptype);
            if (!tree && !IsMapPage(ptype)) continue;
            const PageTrailer trailer = ReadPageTrailer(layout, ByteReader(page, pageSize));
            if (trailer.signature != (tree ? ComputeSig(ib, trailer.bid) : 0)) continue;
            if (trailer.crc != PstCrc(page, trailerAt)) continue;
            if (!tree) {
                ++scan.otherPages;
                continue;
            }
            const BTreePageMetadata metadata =
                ReadBTreePageMetadata(layout, ByteReader(page, pageSize));
            scan.pages.push_back({ib, trailer.bid, ptype, metadata.level});
        }

        // Block slots end at offsets of the block alignment.
        for (uint64_t slotEnd = pos + layout.blockAlignment; slotEnd <= readEnd;
             slotEnd += layout.blockAlignment) {
            ScannedBlock block;
            if (CheckBlockTrailer(layout, bytes, got, readStart, slotEnd, &block, &context.blocks))
                scan.blocks.push_back(block);
        }
        scan.bytes = readEnd;
        if (readEnd < windowEnd) break;  // the file shrank under us
    }
    if (hook) hook(scan.bytes, end);
    return scan;
}

}  // namespace kestrel

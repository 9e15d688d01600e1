#pragma once
// Everything that differs between the Ansi (wVer 14/15), the Unicode (wVer 23) and the
// Unicode 4 KB-page (wVer 36, offline stores of Outlook 2013 and later) file layouts, in one
// place: chosen once per file, read by every walker and parser.
#include <cstddef>
#include <cstdint>

namespace kestrel {

enum class PstVariant { Unknown, Ansi, Unicode, Unicode4k };

struct PstLayout {
    PstVariant variant;
    size_t idSize;  // width of a BID, IB or B-tree key in entries: 4 or 8

    // Header.
    size_t headerReadSize;      // bytes of the header read at open
    size_t nodeRootOffsetPos;   // root.BREFNBT.ib
    size_t blockRootOffsetPos;  // root.BREFBBT.ib
    size_t cryptMethodPos;      // bCryptMethod
    size_t fileEofPos;          // root.ibFileEof: the file's size as last written

    // B-tree pages: bytes read per page, and the area that holds entries. The page metadata
    // (cEnt, cEntMax, each pageCountSize wide, then cbEnt and cLevel, a byte each) follows
    // the entry area.
    size_t blockPageReadSize;
    size_t nodePageReadSize;
    size_t pageSize;  // a B-tree or map page: 512, or 4096
    size_t pageCountSize;
    size_t entryAreaSize;
    size_t blockLeafEntrySize;     // BBTENTRY
    size_t nodeLeafEntrySize;      // NBTENTRY
    size_t intermediateEntrySize;  // BTENTRY
    size_t blockLeafMaxEntries;    // upper bounds; the entry area is the real limit
    size_t nodeLeafMaxEntries;

    // Entry fields, from the entry's start (keys, BIDs and IBs are idSize wide; the key or
    // BID comes first).
    size_t blockLeafIbPos;  // BBTENTRY: BREF (bid, ib), cb, cRef
    size_t blockLeafCbPos;
    size_t blockLeafRefPos;
    size_t blockLeafInflatedPos;  // the block's inflated size; 0: the layout has none
    size_t nodeLeafDataPos;       // NBTENTRY: nid, bidData, bidSub, nidParent
    size_t nodeLeafSubPos;
    size_t nodeLeafParentPos;
    size_t intermediateBidPos;  // BTENTRY: key, BREF (bid, ib)
    size_t intermediateIbPos;

    // Trailers. A page trailer (ptype, ptypeRepeat, wSig, ...) ends a page; a block trailer
    // (cb, wSig, ...) ends a block's aligned slot. Both go on with the CRC and the BID, which
    // trade places between the variants; positions are from the trailer's start.
    size_t pageTrailerPos;
    size_t blockAlignment;  // a block's slot is a multiple of it: 64, or 512
    size_t blockTrailerSize;
    size_t trailerCrcPos;
    size_t trailerBidPos;
    size_t trailerInflatedPos;  // the block's inflated size; 0: the layout has none
    size_t maxBlockData;        // most bytes one block carries: its largest slot less the trailer

    // Data trees (XBLOCK, XXBLOCK).
    size_t dataTreeHeaderSize;
    size_t dataTreeEntrySize;

    // Subnode blocks (SLBLOCK, SIBLOCK).
    size_t subnodeHeaderSize;
    size_t subnodeLeafEntrySize;          // SLENTRY
    size_t subnodeIntermediateEntrySize;  // SIENTRY

    // Table contexts: row-index record (row id, row index).
    size_t rowIndexRecordSize;

    // The layout of a variant; Unknown has none (returns nullptr).
    static const PstLayout* For(PstVariant variant);
};

// 14 or 15: Ansi; 23: Unicode; 36: Unicode4k, when the client signature (wMagicClient)
// is that of a personal or an offline store ("SM", "SO"); anything else: Unknown.
PstVariant VariantFromVersion(uint32_t wVer, uint16_t client);

inline constexpr uint16_t kClientPst = 0x4D53;  // "SM"
inline constexpr uint16_t kClientOst = 0x4F53;  // "SO"

// True for the layouts whose strings are UTF-16 unless a property says otherwise.
inline bool IsUnicodeVariant(PstVariant variant) {
    return variant == PstVariant::Unicode || variant == PstVariant::Unicode4k;
}

// "unicode", "unicode4k", "ansi" or "unknown", as reports name the variant.
const char* VariantName(PstVariant variant);

}  // namespace kestrel

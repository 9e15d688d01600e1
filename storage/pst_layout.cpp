#include "storage/pst_layout.h"

namespace kestrel {

namespace {

constexpr PstLayout kAnsi{
    .variant = PstVariant::Ansi,
    .idSize = 4,
    .headerReadSize = 516,
    .nodeRootOffsetPos = 188,
    .blockRootOffsetPos = 196,
    .cryptMethodPos = 461,
    .fileEofPos = 168,
    .blockPageReadSize = 516,
    .nodePageReadSize = 516,
    .pageSize = 512,
    .pageCountSize = 1,
    .entryAreaSize = 496,
    .blockLeafEntrySize = 12,
    .nodeLeafEntrySize = 16,
    .intermediateEntrySize = 12,
    .blockLeafMaxEntries = 42,
    .nodeLeafMaxEntries = 31,
    .blockLeafIbPos = 4,
    .blockLeafCbPos = 8,
    .blockLeafRefPos = 10,
    .blockLeafInflatedPos = 0,
    .nodeLeafDataPos = 4,
    .nodeLeafSubPos = 8,
    .nodeLeafParentPos = 12,
    .intermediateBidPos = 4,
    .intermediateIbPos = 8,
    .pageTrailerPos = 500,
    .blockAlignment = 64,
    .blockTrailerSize = 12,
    .trailerCrcPos = 8,
    .trailerBidPos = 4,
    .trailerInflatedPos = 0,
    .maxBlockData = 8180,
    .dataTreeHeaderSize = 8,
    .dataTreeEntrySize = 4,
    .subnodeHeaderSize = 4,
    .subnodeLeafEntrySize = 12,
    .subnodeIntermediateEntrySize = 8,
    .rowIndexRecordSize = 6,
};

constexpr PstLayout kUnicode{
    .variant = PstVariant::Unicode,
    .idSize = 8,
    .headerReadSize = 516,
    .nodeRootOffsetPos = 224,
    .blockRootOffsetPos = 240,
    .cryptMethodPos = 513,
    .fileEofPos = 184,
    .blockPageReadSize = 1032,
    .nodePageReadSize = 1040,
    .pageSize = 512,
    .pageCountSize = 1,
    .entryAreaSize = 488,
    .blockLeafEntrySize = 24,
    .nodeLeafEntrySize = 32,
    .intermediateEntrySize = 24,
    .blockLeafMaxEntries = 42,
    .nodeLeafMaxEntries = 31,
    .blockLeafIbPos = 8,
    .blockLeafCbPos = 16,
    .blockLeafRefPos = 18,
    .blockLeafInflatedPos = 0,
    .nodeLeafDataPos = 8,
    .nodeLeafSubPos = 16,
    .nodeLeafParentPos = 24,
    .intermediateBidPos = 8,
    .intermediateIbPos = 16,
    .pageTrailerPos = 496,
    .blockAlignment = 64,
    .blockTrailerSize = 16,
    .trailerCrcPos = 4,
    .trailerBidPos = 8,
    .trailerInflatedPos = 0,
    .maxBlockData = 8176,
    .dataTreeHeaderSize = 8,
    .dataTreeEntrySize = 8,
    .subnodeHeaderSize = 8,
    .subnodeLeafEntrySize = 24,
    .subnodeIntermediateEntrySize = 16,
    .rowIndexRecordSize = 8,
};

// The Unicode entries in 4 KB pages whose metadata counts take two bytes each; blocks lie in
// 512-byte slots of up to 64 KB, and a block stored deflated keeps its inflated size in its
// block-tree entry and its trailer.
constexpr PstLayout kUnicode4k{
    .variant = PstVariant::Unicode4k,
    .idSize = 8,
    .headerReadSize = 516,
    .nodeRootOffsetPos = 224,
    .blockRootOffsetPos = 240,
    .cryptMethodPos = 513,
    .fileEofPos = 184,
    .blockPageReadSize = 4096,
    .nodePageReadSize = 4096,
    .pageSize = 4096,
    .pageCountSize = 2,
    .entryAreaSize = 4056,
    .blockLeafEntrySize = 24,
    .nodeLeafEntrySize = 32,
    .intermediateEntrySize = 24,
    .blockLeafMaxEntries = 169,
    .nodeLeafMaxEntries = 126,
    .blockLeafIbPos = 8,
    .blockLeafCbPos = 16,
    .blockLeafRefPos = 20,
    .blockLeafInflatedPos = 18,
    .nodeLeafDataPos = 8,
    .nodeLeafSubPos = 16,
    .nodeLeafParentPos = 24,
    .intermediateBidPos = 8,
    .intermediateIbPos = 16,
    .pageTrailerPos = 4072,
    .blockAlignment = 512,
    .blockTrailerSize = 24,
    .trailerCrcPos = 4,
    .trailerBidPos = 8,
    .trailerInflatedPos = 18,
    .maxBlockData = 65512,
    .dataTreeHeaderSize = 8,
    .dataTreeEntrySize = 8,
    .subnodeHeaderSize = 8,
    .subnodeLeafEntrySize = 24,
    .subnodeIntermediateEntrySize = 16,
    .rowIndexRecordSize = 8,
};

}  // namespace

const PstLayout* PstLayout::For(PstVariant variant) {
    switch (variant) {
        case PstVariant::Ansi:
            return &kAnsi;
        case PstVariant::Unicode:
            return &kUnicode;
        case PstVariant::Unicode4k:
            return &kUnicode4k;
        default:
            return nullptr;
    }
}

PstVariant VariantFromVersion(uint32_t wVer, uint16_t client) {
    if (wVer == 14 || wVer == 15) return PstVariant::Ansi;
    if (wVer == 23) return PstVariant::Unicode;
    if (wVer == 36 && (client == kClientPst || client == kClientOst)) return PstVariant::Unicode4k;
    return PstVariant::Unknown;
}

const char* VariantName(PstVariant variant) {
    switch (variant) {
        case PstVariant::Ansi:
            return "ansi";
        case PstVariant::Unicode:
            return "unicode";
        case PstVariant::Unicode4k:
            return "unicode4k";
        default:
            return "unknown";
    }
}

}  // namespace kestrel

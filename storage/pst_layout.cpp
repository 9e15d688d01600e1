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
    .entryAreaSize = 496,
    .blockLeafEntrySize = 12,
    .nodeLeafEntrySize = 16,
    .intermediateEntrySize = 12,
    .blockLeafMaxEntries = 42,
    .nodeLeafMaxEntries = 31,
    .blockLeafIbPos = 4,
    .blockLeafCbPos = 8,
    .blockLeafRefPos = 10,
    .nodeLeafDataPos = 4,
    .nodeLeafSubPos = 8,
    .nodeLeafParentPos = 12,
    .intermediateBidPos = 4,
    .intermediateIbPos = 8,
    .pageTrailerPos = 500,
    .blockTrailerSize = 12,
    .trailerCrcPos = 8,
    .trailerBidPos = 4,
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
    .entryAreaSize = 488,
    .blockLeafEntrySize = 24,
    .nodeLeafEntrySize = 32,
    .intermediateEntrySize = 24,
    .blockLeafMaxEntries = 42,
    .nodeLeafMaxEntries = 31,
    .blockLeafIbPos = 8,
    .blockLeafCbPos = 16,
    .blockLeafRefPos = 18,
    .nodeLeafDataPos = 8,
    .nodeLeafSubPos = 16,
    .nodeLeafParentPos = 24,
    .intermediateBidPos = 8,
    .intermediateIbPos = 16,
    .pageTrailerPos = 496,
    .blockTrailerSize = 16,
    .trailerCrcPos = 4,
    .trailerBidPos = 8,
    .maxBlockData = 8176,
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
        default:
            return nullptr;
    }
}

PstVariant VariantFromVersion(uint32_t wVer) {
    if (wVer == 14 || wVer == 15) return PstVariant::Ansi;
    if (wVer == 23) return PstVariant::Unicode;
    return PstVariant::Unknown;
}

const char* VariantName(PstVariant variant) {
    switch (variant) {
        case PstVariant::Ansi:
            return "ansi";
        case PstVariant::Unicode:
            return "unicode";
        default:
            return "unknown";
    }
}

}  // namespace kestrel

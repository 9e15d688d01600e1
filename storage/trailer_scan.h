#pragma once
// One pass over the file looking for the trailers that blocks and pages carry: a B-tree page
// trailer at the end of every page, a block trailer at the end of every aligned slot. A trailer
// counts only when its signature and CRC check, so bytes that merely look like one are passed by.
// The file is read a fixed window at a time; what is kept is a few numbers per trailer.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "storage/pst_context.h"
#include "storage/pst_layout.h"

namespace kestrel {

// Bytes read per window; the window's read starts one largest block earlier, so that a
// block ending in the window is read whole.
inline constexpr size_t kScanWindowSize = 4u << 20;

struct ScannedBlock {
    uint64_t bid = 0;  // as the trailer has it
    uint64_t ib = 0;
    uint16_t cb = 0;
    uint16_t cbInflated = 0;  // cb unless the block is stored deflated
};

struct ScannedPage {
    uint64_t ib = 0;
    uint64_t bid = 0;
    uint8_t ptype = 0;  // PageType
    uint8_t level = 0;  // cLevel: 0 for a leaf
};

struct TrailerScan {
    std::vector<ScannedBlock> blocks;  // in file order
    std::vector<ScannedPage> pages;    // B-tree pages, in file order
    uint64_t otherPages = 0;           // map pages whose trailer checked
    uint64_t bytes = 0;                // bytes of the file looked at
    bool stopped = false;              // the window hook asked to end
};

// Called before each window with the bytes done and the bytes to do; true ends the scan.
using ScanWindowHook = std::function<bool(uint64_t done, uint64_t total)>;

// Scans [0, end) of the file (clipped to its size) with the given layout. File errors
// propagate (FileError); what was found before stays in the answer of a later call only.
TrailerScan ScanTrailers(PstContext& context, const PstLayout& layout, uint64_t end,
                         const ScanWindowHook& hook = {});

// True when a block slot ends at file offset slotEnd with a trailer that checks (cb within
// bounds, wSig, CRC, a BID). bytes: size bytes of the file from firstOffset, the whole slot
// among them. On success *found holds the block. A block that known (when given) already
// holds at that offset with that size is not summed again: the index vouches for it.
bool CheckBlockTrailer(const PstLayout& layout, const uint8_t* bytes, size_t size,
                       uint64_t firstOffset, uint64_t slotEnd, ScannedBlock* found,
                       const BlockIndex* known = nullptr);

}  // namespace kestrel

#pragma once
// The deep scan: when the B-trees are damaged, the blocks and pages the file still holds
// complete the indexes. What the live trees gave always wins; the scan only adds what they
// lack, and only what checks: blocks whose trailer checks, node entries of node-tree leaf
// pages whose trailer checks and whose data block is known.
#include <cstdint>
#include <vector>

#include "storage/pst_context.h"
#include "storage/trailer_scan.h"

namespace kestrel {

// Why a scan ran (or None: it did not).
enum class ScanReason {
    None,
    Requested,        // asked for (--deep)
    RootUnreadable,   // LoadIndexes could not read a root
    RootPastEnd,      // a root offset lies past the end of the file
    FileShort,        // the file is shorter than the header says
    SkippedSubtrees,  // the walk skipped damaged subtrees
    HeaderDamaged,    // no format version we know: the layout was guessed
};

// How reports name the reason: "requested", "rootUnreadable", ...
const char* ScanReasonName(ScanReason reason);

// The reason the loaded indexes call for a scan on their own, or None. loadResult:
// LoadIndexes' answer.
ScanReason AutomaticScanReason(PstContext& context, int loadResult);

struct DeepScanReport {
    ScanReason reason = ScanReason::None;
    bool guessed = false;  // the variant and encoding were guessed from the pages
    double seconds = 0;
    uint64_t pages = 0;   // B-tree pages whose trailer checked
    uint64_t blocks = 0;  // blocks whose trailer checked
    uint64_t blocksAdded = 0;
    uint64_t nodesAdded = 0;
    uint64_t nodesRebuilt = 0;    // nodes made from blocks that no entry names
    uint64_t blocksRepaired = 0;  // block-tree entries mended to the block the scan found
    bool stopped = false;
    std::vector<uint32_t> addedNids;  // the NIDs of the node entries the scan added
};

struct IndexCompletion {
    uint64_t blocksAdded = 0;
    uint64_t nodesAdded = 0;
    uint64_t blocksRepaired = 0;      // entries whose own block did not check, mended
    std::vector<uint32_t> addedNids;  // the NIDs of the node entries added, rising
};

// Adds to the indexes what the scan found and they lack: blocks whose trailer checked (at
// the offset a block-tree leaf gives, where one does), then the entries of node-tree leaf
// pages for NIDs the node tree lacks whose data block is in the index (the newest page
// wins), placed as the loader places its own.
IndexCompletion CompleteIndexes(PstContext& context, const TrailerScan& scan);

// Scans the whole file with the context's layout and completes the indexes. hook is
// called at every window (progress; true stops the scan, keeping nothing of it). File
// errors propagate.
DeepScanReport DeepScan(PstContext& context, ScanReason reason, const ScanWindowHook& hook = {});

// For a file whose header names no format version we know: tries both layouts on the first
// 64 MB and takes the one whose trailers check most often, and the encoding that turns
// external blocks into heaps; the header's root offsets are then read with that layout.
// False (context unchanged) when no trailer checks with either.
bool GuessLayout(PstContext& context);

}  // namespace kestrel

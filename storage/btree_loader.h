#pragma once
// Loads the block and node B-trees into the block index and the node tree, defensively:
// the leaf level is found by probing, a child page must start with its parent entry's
// key, and a damaged subtree is skipped while the rest still loads.
#include <cstdint>
#include <vector>

#include "storage/byte_reader.h"
#include "storage/page.h"
#include "storage/pst_context.h"

namespace kestrel {

// Result codes of the walkers.
enum WalkResult : int {
    kWalkFailed = -1,        // page short, or its first key is not the expected one
    kWalkStopped = 0,        // stop flag seen
    kWalkNodeLeafDone = 1,   // node-tree leaf page done
    kWalkBlockLeafDone = 2,  // block-tree leaf page done
    kWalkInnerDone = 3,      // intermediate page done
    kWalkDepthFound = 4,     // leaf depth just found below this page: walk it again
};

// Sentinels for the walkers' key arguments.
inline constexpr uint64_t kNoExpectedKey = UINT64_MAX;
inline constexpr uint64_t kNoKeyBound = UINT64_MAX;

enum LoadResult : int {
    kLoadComplete = 0,
    kLoadRootUnreadable = 2,  // a tree's root cannot be read even on the second pass
};

// Reports in context.stats what it met on the way, the leaf depths among it.
LoadResult LoadIndexes(PstContext& context);

WalkResult WalkBlockTree(PstContext& context, uint64_t pageOffset, int depth, uint64_t expectedKey,
                         uint64_t keyBound);
WalkResult WalkNodeTree(PstContext& context, uint64_t pageOffset, int depth, uint64_t expectedKey,
                        uint64_t keyBound);

// The entries the walker takes from a node-tree leaf page (page: its bytes, the whole page) when no
// parent entry bounds its keys: live entries on the page's rising run, then stale ones
// while their NIDs keep rising.
std::vector<NodeLeafEntry> ReadNodeLeafPage(const PstLayout& layout, const ByteReader& page);

// Adds node entries the B-trees did not give (found by a scan of the file) as the walk adds
// its own: under the parent they name, or waiting for it, adopting the orphans that wait
// for them; then the orphans left are placed where their parents now hang.
void PlaceNodeEntries(PstContext& context, const std::vector<NodeLeafEntry>& entries);

// Gives the node records whose data or subnode block the index lacked when they were read
// the block the index now has for their BIDs.
void ResolveNodeBlocks(PstContext& context);

const BlockRecord* FindBlock(const PstContext& context, uint64_t bid);
const NodeRecord* FindNode(const PstContext& context, uint32_t nid);

}  // namespace kestrel

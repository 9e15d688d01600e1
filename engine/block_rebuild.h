#pragma once
// Items from blocks alone: after a deep scan, an external block (or data tree) that no node,
// data tree or subnode list claims and that holds a property context becomes a node of its
// own. Attachments and embedded messages are claimed by their subnode lists and never
// surface this way.
//
// Where the file still holds the evidence, a rebuilt node gets its own NID and parent back:
// a folder from the row of its parent's hierarchy table that matches it (display name and
// counts), a message from the row of a contents table that lists it (subject, delivery time,
// size, flags); the tables themselves are unclaimed blocks too, paired with their folder by
// count and nearness in BID. A message also takes back the unclaimed subnode list nearest in
// BID that fits it (its recipients give its Display To, its attachment table has rows
// exactly when it says it has attachments). Without such evidence a message gets a NID
// above every NID of the file and no parent.
#include <cstdint>
#include <vector>

#include "items/item_context.h"

namespace kestrel {

struct RebuiltNodes {
    std::vector<uint32_t> messages;  // normal messages, placed in their folder or unlinked
    uint64_t hidden = 0;             // folder-associated ones (configuration, views)
    uint64_t folders = 0;            // folders (and the store, the name map) given back
    uint64_t placed = 0;             // messages filed in a folder from its contents table
    uint64_t withSubnodes = 0;       // messages that took back a subnode list
};

// Creates the node records. Ends early when stopped.
RebuiltNodes RebuildNodesFromBlocks(ItemContext& items);

// When neither the store nor the root folder survives: an empty stand-in root folder at the
// top level that takes the folders whose parent is not known, so that the walk still finds
// them and what they hold. Null when the root folder exists or no folder waits.
const NodeRecord* StandInRootFolder(PstContext& context);

}  // namespace kestrel

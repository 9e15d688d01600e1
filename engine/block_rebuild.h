#pragma once
// Items from blocks alone: after a deep scan, an external block that no node, data tree or
// subnode list claims and that holds a message's property context becomes a node of its
// own, with a NID above every NID of the file. Attachments and embedded messages are
// claimed by their subnode lists and never surface this way.
#include <cstdint>
#include <vector>

#include "items/item_context.h"

namespace kestrel {

struct RebuiltNodes {
    std::vector<uint32_t> messages;  // normal messages, unlinked (no folder is known)
    uint64_t hidden = 0;             // folder-associated ones (configuration, views)
};

// Creates the node records (never linked into the tree). Ends early when stopped.
RebuiltNodes RebuildNodesFromBlocks(ItemContext& items);

}  // namespace kestrel

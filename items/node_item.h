#pragma once
// Loads one node of the node tree into an item record: its property context, then the
// rows of its attachment table, then each attachment's own property context.
#include <memory>

#include "items/item_assembler.h"
#include "items/item_context.h"
#include "items/item_record.h"
#include "storage/node_tree.h"
#include "storage/subnode_list.h"

namespace kestrel {

// The item of node, or null when there is none: no node, no data block, a property
// context that gives nothing, or the stop flag set. The variant of options is taken from
// context. A failing attachment table leaves the item without attachments; a failing
// attachment is skipped.
std::unique_ptr<ItemRecord> LoadNodeItem(ItemContext& context, const NodeRecord* node,
                                         const AssembleOptions& options = {});

// The subnode list under subnodeBlock; an empty list when there is none or it cannot be
// read (file and memory errors included).
SubnodeList SubnodesOrNothing(PstContext& context, const BlockRecord* subnodeBlock);

}  // namespace kestrel

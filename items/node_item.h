#pragma once
// Loads one node of the node tree into an item record: its property context, then the
// rows of its attachment table, then each attachment's own property context.
#include <memory>

#include "items/item_assembler.h"
#include "items/item_record.h"
#include "storage/node_tree.h"
#include "storage/pst_context.h"

namespace kestrel {

// The item of node, or null when there is none: no node, no data block, a property
// context that gives nothing, or the stop flag set. The variant of options is taken from
// context. A failing attachment table leaves the item without attachments; a failing
// attachment is skipped.
std::unique_ptr<ItemRecord> LoadNodeItem(PstContext& context, const NodeRecord* node,
                                         const AssembleOptions& options = {});

}  // namespace kestrel

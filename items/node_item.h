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

// What one load lost, for the reader's warnings: parts that were named but gave nothing.
struct NodeLoadReport {
    bool dataUnreadable = false;       // the data block gave no properties
    bool subnodesLost = false;         // the node's subnode list could not be read
    bool attachmentTableLost = false;  // the attachment table's block is gone or failed
    uint32_t attachmentsLost = 0;      // attachments whose properties or data are gone
};

// The item of node, or null when there is none: no node, no data block, a property
// context that gives nothing, or the stop flag set. The variant of options is taken from
// context. A failing attachment table leaves the item without attachments; a failing
// attachment is skipped. What was lost on the way goes to *report when given.
std::unique_ptr<ItemRecord> LoadNodeItem(ItemContext& context, const NodeRecord* node,
                                         const AssembleOptions& options = {},
                                         NodeLoadReport* report = nullptr);

// The subnode list under subnodeBlock; an empty list when there is none or it cannot be
// read (file and memory errors included).
SubnodeList SubnodesOrNothing(PstContext& context, const BlockRecord* subnodeBlock,
                              bool* lost = nullptr);
// The same for the subnode block of entry, an entry of list: taken from list where it can be
// (see OwnSubnodeList).
SubnodeList SubnodesOrNothing(PstContext& context, const SubnodeList& list,
                              const SubnodeEntry& entry);

}  // namespace kestrel

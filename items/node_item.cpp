#include "items/node_item.h"

#include <exception>

#include "items/named_property_map.h"
#include "items/property_parser.h"
#include "items/property_tags.h"
#include "storage/nid.h"
#include "storage/subnode_list.h"

namespace kestrel {
namespace {

// File and memory errors while reading one step count as a step that gave nothing.
// *failed (when given) tells a missing block or an error from a step with no values.
PropertyGroupList ParseOrNothing(ItemContext& context, const BlockRecord* block,
                                 const SubnodeList* subnodes, const SubnodeList* fallback,
                                 const ParseOptions& options, bool* failed = nullptr) {
    if (block == nullptr) {
        if (failed) *failed = true;
        return {};
    }
    try {
        return ParseNodeProperties(context, block, subnodes, fallback, options);
    } catch (const std::exception&) {
        if (failed) *failed = true;
        return {};
    }
}

}  // namespace

SubnodeList SubnodesOrNothing(PstContext& context, const BlockRecord* subnodeBlock, bool* lost) {
    if (subnodeBlock == nullptr) return {};
    try {
        return BuildSubnodeList(context, subnodeBlock);
    } catch (const std::exception&) {
        if (lost) *lost = true;
        return {};
    }
}

SubnodeList SubnodesOrNothing(PstContext& context, const SubnodeList& list,
                              const SubnodeEntry& entry) {
    try {
        return OwnSubnodeList(context, list, entry);
    } catch (const std::exception&) {
        return {};
    }
}

std::unique_ptr<ItemRecord> LoadNodeItem(ItemContext& context, const NodeRecord* node,
                                         const AssembleOptions& options, NodeLoadReport* report) {
    NodeLoadReport unused;
    NodeLoadReport& lost = report ? *report : unused;
    if (context.Stopped() || node == nullptr) return nullptr;
    AssembleOptions assemble = options;
    assemble.variant = context.variant();
    if (assemble.FullLoad() && context.namedProps && assemble.globalObjectIdProperty == 0)
        assemble.globalObjectIdProperty =
            context.namedProps->FileIdOf(kPsetidMeeting, kLidGlobalObjectId);
    ParseOptions parse;
    parse.measureAttachmentData = options.measureAttachmentData;
    parse.skipBodies = options.skipDetails;
    parse.measureBody = options.measureBody;
    parse.checkRtfOnly = options.checkRtfOnly;

    if (node->dataBlock == nullptr) return nullptr;
    const SubnodeList subnodes =
        SubnodesOrNothing(context.storage, node->subnodeBlock, &lost.subnodesLost);
    if (node->subnodeBlockMissing) lost.subnodesLost = true;
    if (context.Stopped()) return nullptr;

    auto assembled = [&](const ParseOptions& options) -> std::unique_ptr<ItemRecord> {
        PropertyGroupList props =
            ParseOrNothing(context, node->dataBlock, &subnodes, nullptr, options);
        if (context.Stopped()) return nullptr;
        if (props.empty()) {
            lost.dataUnreadable = true;
            return nullptr;
        }
        auto item = std::make_unique<ItemRecord>();
        item->nid = node->nid;
        AssembleItem(props, *item, assemble);
        return item;
    };
    std::unique_ptr<ItemRecord> item = assembled(parse);
    if (item && parse.measureBody && KeepsBodyText(*item) && item->message &&
        item->message->bodyLength) {
        // The body came measured, and a sticky note's is its text: read whole this time.
        ParseOptions whole = parse;
        whole.measureBody = false;
        item = assembled(whole);
    }
    if (!item || context.Stopped()) return nullptr;

    const SubnodeEntry* tableEntry =
        options.skipDetails ? nullptr : subnodes.Find(kAttachmentTableNid);
    if (tableEntry == nullptr) return item;

    // The table's row matrix may live in its own subnodes; the message's list comes second.
    item->attachments.clear();
    item->currentAttachment.reset();
    const SubnodeList tableSubnodes = SubnodesOrNothing(context.storage, subnodes, *tableEntry);
    // A table of no rows is sound (its attachments were deleted); one that failed is not.
    PropertyGroupList table = ParseOrNothing(context, tableEntry->block, &tableSubnodes, &subnodes,
                                             parse, &lost.attachmentTableLost);
    if (context.Stopped()) return nullptr;
    if (table.empty()) return item;

    item->attachments.resize(table.size());
    item->currentAttachment = 0;
    AssembleItem(table, *item, assemble);
    table.clear();

    for (size_t i = 0; i < item->attachments.size(); ++i) {
        if (context.Stopped()) return nullptr;
        const SubnodeEntry* entry = subnodes.Find(item->attachments[i].rowId);
        if (entry == nullptr) {
            ++lost.attachmentsLost;
            continue;
        }
        // An attachment's values are looked up in its own subnodes first, so that two
        // attachments whose nested subnodes share a NID never swap data.
        const SubnodeList own = SubnodesOrNothing(context.storage, subnodes, *entry);
        PropertyGroupList properties =
            ParseOrNothing(context, entry->block, &own, &subnodes, parse);
        if (properties.empty()) {
            ++lost.attachmentsLost;
            continue;
        }
        item->currentAttachment = i;
        AssembleItem(properties, *item, assemble);

        AttachmentRecord& attachment = item->attachments[i];
        const SubnodeEntry* data = own.Find(attachment.rowId);
        if (data == nullptr) data = subnodes.Find(attachment.rowId);
        if (data != nullptr && data->block != nullptr) attachment.dataBid = data->block->bid;
        if (data != nullptr && data->block == nullptr) ++lost.attachmentsLost;
    }

    if (context.Stopped()) return nullptr;
    if (item->attachments.empty()) {
        item->currentAttachment.reset();
    } else {
        item->currentAttachment = 0;
    }
    return item;
}

}  // namespace kestrel

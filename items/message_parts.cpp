#include "items/message_parts.h"

#include <exception>
#include <utility>

#include "items/bth.h"
#include "items/code_page.h"
#include "items/heap_on_node.h"
#include "items/node_item.h"
#include "items/property_parser.h"
#include "items/property_tags.h"
#include "items/property_text.h"
#include "storage/byte_reader.h"
#include "storage/nid.h"

namespace kestrel {

namespace {

uint32_t U32Of(const PropertyValue& value) {
    if (!value.data) return 0;
    return ByteReader(*value.data).U32(0).value_or(0);
}

RecipientEntry RecipientOf(const PropertyGroup& row, PstVariant variant, uint32_t codePage) {
    RecipientEntry recipient;
    std::string smtp;
    std::string email;
    for (const PropertyValue& value : row.values) {
        switch (value.propertyId) {
            case kPidTagDisplayName:
                recipient.displayName = PropertyText(value, variant, codePage);
                break;
            case kPidTagSmtpAddress:
                smtp = PropertyText(value, variant, codePage);
                break;
            case kPidTagEmailAddress:
                email = PropertyText(value, variant, codePage);
                break;
            case kPidTagAddressType:
                recipient.addressType = PropertyText(value, variant, codePage);
                break;
            case kPidTagRecipientType:
                recipient.type = U32Of(value);
                break;
            default:
                break;
        }
    }
    recipient.address = smtp.empty() ? email : smtp;
    return recipient;
}

// The NID of the message an attachment holds (its data object), when the attachment is an
// attached message.
std::optional<uint32_t> EmbeddedNid(ItemContext& context, const SubnodeEntry& attachment,
                                    const SubnodeList& own) {
    HeapOnNode heap = HeapOnNode::Load(context.storage, attachment.block);
    if (!heap.valid() || heap.clientSignature() != kClientPropertyContext) return std::nullopt;
    const auto header = ReadBthHeader(heap, heap.userRoot());
    if (!header || header->cbKey != 2 || header->cbEnt < 6) return std::nullopt;
    std::optional<uint32_t> method;
    std::optional<uint32_t> objectHnid;
    WalkBth(heap, *header, [&](ByteReader key, ByteReader data) {
        const auto id = key.U16(0);
        const auto type = data.U16(0);
        const auto word = data.U32(2);
        if (!id || !type || !word) return true;
        if (*id == kPidTagAttachMethod) method = *word;
        if (*id == kPidTagAttachDataBinary && *type == kPtypObject) objectHnid = *word;
        return true;
    });
    if (!objectHnid || *objectHnid == 0) return std::nullopt;
    if (method && *method != kAttachMethodEmbeddedMessage) return std::nullopt;
    // The object value is (NID, size), on the heap or in a subnode of its own.
    if (IsHid(*objectHnid)) {
        const auto allocation = heap.Allocation(*objectHnid);
        if (!allocation) return std::nullopt;
        return allocation->U32(0);
    }
    std::vector<uint8_t> bytes;
    if (ReadSubnodeData(context.storage, *objectHnid, own, bytes) == 0) return std::nullopt;
    return ByteReader(bytes).U32(0);
}

}  // namespace

std::vector<RecipientEntry> ReadRecipientTable(ItemContext& context, const SubnodeList& subnodes,
                                               uint32_t codePage) {
    const SubnodeEntry* table = subnodes.Find(kRecipientTableNid);
    if (table == nullptr) return {};
    PropertyGroupList rows;
    try {
        const SubnodeList own = SubnodesOrNothing(context.storage, subnodes, *table);
        rows = ParseNodeProperties(context, table->block, &own, &subnodes);
    } catch (const std::exception&) {
        return {};
    }
    const uint32_t narrow = NarrowCodePage(codePage, kWindows1252);
    std::vector<RecipientEntry> recipients;
    recipients.reserve(rows.size());
    // The parser gives the rows last first.
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        recipients.push_back(RecipientOf(*row, context.variant(), narrow));
    }
    return recipients;
}

std::optional<NodeRecord> FindEmbeddedMessage(ItemContext& context, const SubnodeList& subnodes,
                                              const AttachmentRecord& attachment) {
    const SubnodeEntry* entry = subnodes.Find(attachment.rowId);
    if (entry == nullptr) return std::nullopt;
    try {
        const SubnodeList own = SubnodesOrNothing(context.storage, subnodes, *entry);
        const std::optional<uint32_t> nid = EmbeddedNid(context, *entry, own);
        if (!nid) return std::nullopt;
        const SubnodeEntry* message = own.Find(*nid);
        if (message == nullptr) message = subnodes.Find(*nid);
        if (message == nullptr) return std::nullopt;
        // The attached message is read like a node of its own.
        NodeRecord node;
        node.nid = *nid;
        node.dataBlock = message->block;
        node.subnodeBlock = message->subnodeBlock;
        return node;
    } catch (const std::exception&) {
        // A damaged attachment leaves the outer message as it is.
        return std::nullopt;
    }
}

}  // namespace kestrel

#include "engine/block_rebuild.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <unordered_set>

#include "items/heap_on_node.h"
#include "items/property_parser.h"
#include "items/property_tags.h"
#include "items/property_text.h"
#include "storage/block_reader.h"
#include "storage/byte_reader.h"
#include "storage/nid.h"

namespace kestrel {

namespace {

constexpr uint8_t kDataTreeType = 0x01;  // XBLOCK, XXBLOCK
constexpr uint8_t kSubnodeType = 0x02;   // SLBLOCK, SIBLOCK

// Every BID an internal block names: a data tree's children, a subnode list's data and
// subnode blocks (or its child lists).
void ClaimChildren(const PstLayout& layout, const ByteReader& block,
                   std::unordered_set<uint64_t>& claimed) {
    const uint8_t type = block.U8(0).value_or(0);
    const uint8_t level = block.U8(1).value_or(0);
    const size_t count = block.U16(2).value_or(0);
    const size_t id = layout.idSize;
    if (type == kDataTreeType) {
        for (size_t i = 0; i < count; ++i) {
            const auto bid =
                block.UInt(layout.dataTreeHeaderSize + i * layout.dataTreeEntrySize, id);
            if (!bid) break;
            claimed.insert(BidKey(*bid));
        }
    } else if (type == kSubnodeType) {
        const size_t entrySize =
            level == 0 ? layout.subnodeLeafEntrySize : layout.subnodeIntermediateEntrySize;
        for (size_t i = 0; i < count; ++i) {
            const size_t at = layout.subnodeHeaderSize + i * entrySize;
            const auto first = block.UInt(at + id, id);
            if (!first) break;
            claimed.insert(BidKey(*first));
            if (level == 0) {
                if (auto sub = block.UInt(at + 2 * id, id)) claimed.insert(BidKey(*sub));
            }
        }
    }
}

bool IsHiddenClass(std::string_view messageClass) {
    auto startsWith = [&](std::string_view prefix) {
        if (messageClass.size() < prefix.size()) return false;
        for (size_t i = 0; i < prefix.size(); ++i) {
            const char c = messageClass[i];
            const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            if (lower != prefix[i]) return false;
        }
        return true;
    };
    return startsWith("ipm.configuration.") || startsWith("ipm.microsoft.");
}

}  // namespace

RebuiltNodes RebuildNodesFromBlocks(ItemContext& items) {
    RebuiltNodes rebuilt;
    PstContext& context = items.storage;
    if (!context.layout) return rebuilt;
    const PstLayout& layout = *context.layout;

    std::unordered_set<uint64_t> claimed;
    uint32_t highest = 0;
    for (const NodeRecord& node : context.nodes.records()) {
        if (node.dataBid) claimed.insert(BidKey(node.dataBid));
        if (node.subnodeBid) claimed.insert(BidKey(node.subnodeBid));
        if (node.nid < kHighNid) highest = std::max(highest, node.nid);
    }
    std::vector<uint8_t> bytes;
    for (const BlockRecord& block : context.blocks) {
        if (context.Stopped()) return rebuilt;
        if (!IsInternalBid(block.bid)) continue;
        try {
            if (ReadBlock(context, block.bid, bytes) == 0) continue;
        } catch (const FileError&) {
            continue;
        }
        ClaimChildren(layout, ByteReader(bytes), claimed);
    }

    uint32_t next = (highest >> 5) + 1;
    std::unordered_set<uint64_t> taken;
    for (const BlockRecord& block : context.blocks) {
        if (context.Stopped()) return rebuilt;
        const uint64_t key = BidKey(block.bid);
        if (IsInternalBid(block.bid) || claimed.count(key) || !taken.insert(key).second) continue;
        if (next >= (kHighNid >> 5)) break;
        try {
            // A heap holding a property context: bSig and bClientSig after ibHnpm.
            if (ReadDecodedBlock(context, block.bid, bytes) < 4) continue;
            if (bytes[2] != kHeapSignature || bytes[3] != kClientPropertyContext) continue;
            const PropertyGroupList groups = ParseNodeProperties(items, &block, nullptr);
            if (groups.empty()) continue;
            std::string messageClass;
            bool found = false;
            for (const PropertyValue& value : groups.front().values) {
                if (value.propertyId != kPidTagMessageClass || !value.data) continue;
                messageClass = PropertyText(value, context.variant, 1252);
                found = true;
                break;
            }
            // Folders, the store, attachments and maps have no message class.
            if (!found) continue;
            const bool hidden = IsHiddenClass(messageClass);
            const uint32_t type =
                static_cast<uint32_t>(hidden ? NidType::AssocMessage : NidType::NormalMessage);
            NodeRecord* record = context.nodes.Create((next++ << 5) | type);
            record->dataBlock = &block;
            record->dataBid = block.bid;
            if (hidden) {
                ++rebuilt.hidden;
            } else {
                rebuilt.messages.push_back(record->nid);
            }
        } catch (const std::exception&) {
            continue;
        }
    }
    return rebuilt;
}

}  // namespace kestrel

#include "engine/scan_placement.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <unordered_map>

#include "items/property_parser.h"
#include "items/property_tags.h"
#include "storage/btree_loader.h"
#include "storage/byte_reader.h"
#include "storage/nid.h"
#include "storage/subnode_list.h"

namespace kestrel {

std::optional<std::vector<uint32_t>> ListedMessages(ItemContext& items, uint32_t folderNid) {
    PstContext& context = items.storage;
    const NodeRecord* table = context.nodes.FindAny(ContentsTableNid(folderNid));
    if (table == nullptr || table->dataBlock == nullptr) return std::nullopt;
    PropertyGroupList groups;
    try {
        const SubnodeList subnodes = BuildSubnodeList(context, table->subnodeBlock);
        groups = ParseNodeProperties(items, table->dataBlock, &subnodes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (groups.empty()) return std::nullopt;
    std::vector<uint32_t> listed;
    for (const PropertyGroup& row : groups) {
        for (const PropertyValue& value : row.values) {
            if (value.propertyId != kPidTagLtpRowId || !value.data) continue;
            if (auto nid = ByteReader(*value.data).U32(0)) listed.push_back(*nid);
        }
    }
    std::sort(listed.begin(), listed.end());
    return listed;
}

size_t UnfileUnlistedMessages(ItemContext& items, const std::vector<uint32_t>& nids) {
    PstContext& context = items.storage;
    std::unordered_map<uint32_t, std::optional<std::vector<uint32_t>>> tables;
    size_t unfiled = 0;
    for (uint32_t nid : nids) {
        if (context.Stopped()) break;
        if (NidTypeOf(nid) != NidType::NormalMessage) continue;
        NodeRecord* record = context.nodes.FindAny(nid);
        if (record == nullptr || record->parent == nullptr) continue;
        const uint32_t folder = record->parent->nid;
        auto it = tables.find(folder);
        if (it == tables.end()) it = tables.emplace(folder, ListedMessages(items, folder)).first;
        const auto& listed = it->second;
        // No table to ask: the entry's word stands.
        if (!listed || std::binary_search(listed->begin(), listed->end(), nid)) continue;
        context.nodes.Unlink(record);
        ++unfiled;
    }
    return unfiled;
}

}  // namespace kestrel

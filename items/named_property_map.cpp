#include "items/named_property_map.h"

#include <algorithm>

#include "items/property_parser.h"
#include "items/property_tags.h"
#include "items/utf16.h"
#include "storage/byte_reader.h"
#include "storage/nid.h"

namespace kestrel {

namespace {

constexpr size_t kEntrySize = 8;
// All names of one map together; a damaged stream whose entries all name one huge record
// must not multiply it.
constexpr size_t kMaxNameBytes = 64u * 1024 * 1024;

const PropertyValue* FindValue(const PropertyGroup& group, uint32_t propertyId) {
    for (const auto& value : group.values) {
        if (value.propertyId == propertyId) return &value;
    }
    return nullptr;
}

// The name at offset of the string stream: a 4-byte length, then that many bytes of
// UTF-16. Empty when the record does not fit in the stream or the names' budget.
std::string ReadStringName(const ByteReader& strings, uint32_t offset, size_t& budget) {
    const auto length = strings.U32(offset);
    if (!length || !strings.Has(size_t{offset} + 4, *length) || *length > budget) return {};
    budget -= *length;
    return NarrowUtf16(strings.data() + offset + 4, *length);
}

}  // namespace

void NamedPropertyMap::Insert(NamedPropertyEntry entry) {
    // After every entry with the same or a smaller id, so equal ids keep insertion order.
    const auto at = std::upper_bound(
        entries_.begin(), entries_.end(), entry.fileId,
        [](uint32_t id, const NamedPropertyEntry& existing) { return id < existing.fileId; });
    entries_.insert(at, std::move(entry));
}

void NamedPropertyMap::InsertAll(std::vector<NamedPropertyEntry> entries) {
    const auto byId = [](const NamedPropertyEntry& a, const NamedPropertyEntry& b) {
        return a.fileId < b.fileId;
    };
    std::stable_sort(entries.begin(), entries.end(), byId);
    const auto middle = static_cast<std::ptrdiff_t>(entries_.size());
    entries_.insert(entries_.end(), std::make_move_iterator(entries.begin()),
                    std::make_move_iterator(entries.end()));
    std::inplace_merge(entries_.begin(), entries_.begin() + middle, entries_.end(), byId);
}

const NamedPropertyEntry* NamedPropertyMap::Find(uint32_t fileId) const {
    const auto at = std::lower_bound(
        entries_.begin(), entries_.end(), fileId,
        [](const NamedPropertyEntry& existing, uint32_t id) { return existing.fileId < id; });
    if (at == entries_.end() || at->fileId != fileId) return nullptr;
    return &*at;
}

uint32_t NamedPropertyMap::FileIdOf(const Guid& guid, uint32_t lid) const {
    // Index 1 and 2 are PS_MAPI and PS_PUBLIC_STRINGS, never in the stream.
    for (const NamedPropertyEntry& entry : entries_) {
        if (entry.kind != kNumericName || entry.numericName != lid) continue;
        const size_t index = entry.guidWord >> 1;
        if (index >= 3 && index - 3 < guids_.size() && guids_[index - 3] == guid)
            return entry.fileId;
    }
    return 0;
}

NamedMapLoad LoadNamedPropertyMap(ItemContext& context) {
    if (context.Stopped()) return NamedMapLoad::NotBuilt;
    const NodeRecord* node = context.storage.nodes.Find(kNameToIdMapNid);
    if (!node || !node->dataBlock) return NamedMapLoad::NotBuilt;
    SubnodeList subnodes;
    if (node->subnodeBlock) subnodes = BuildSubnodeList(context.storage, node->subnodeBlock);
    const PropertyGroupList groups = ParseNodeProperties(context, node->dataBlock, &subnodes);
    if (groups.empty() || context.Stopped()) return NamedMapLoad::NotBuilt;

    const PropertyGroup& group = groups.front();
    const PropertyValue* entryStream = FindValue(group, kPidTagNameidStreamEntry);
    if (!entryStream || !entryStream->hasData()) return NamedMapLoad::NotBuilt;
    const PropertyValue* stringStream = FindValue(group, kPidTagNameidStreamString);
    const ByteReader entries(*entryStream->data);
    const ByteReader strings =
        stringStream && stringStream->hasData() ? ByteReader(*stringStream->data) : ByteReader();

    // Only the first entry of an id is ever looked up, so later ones with the same id
    // are not kept; that bounds the map to the 65536 ids there are.
    std::vector<bool> seen(0x10000, false);
    std::vector<NamedPropertyEntry> found;
    size_t nameBudget = kMaxNameBytes;
    for (size_t at = 0; entries.Has(at, kEntrySize); at += kEntrySize) {
        if (context.Stopped()) return NamedMapLoad::NotBuilt;
        const uint32_t dwPropertyId = *entries.U32(at);
        const uint16_t guidWord = *entries.U16(at + 4);
        const uint16_t wPropIdx = *entries.U16(at + 6);
        if (guidWord == 0) break;  // an entry with neither a GUID nor a kind ends the stream
        if (seen[wPropIdx]) continue;
        seen[wPropIdx] = true;
        NamedPropertyEntry entry;
        entry.guidWord = guidWord;
        entry.fileId = kFirstNamedPropertyId + wPropIdx;
        if ((guidWord & 1) == 0) {
            entry.kind = kNumericName;
            entry.numericName = dwPropertyId & 0xFFFF;
        } else {
            entry.kind = kStringName;
            entry.stringName = ReadStringName(strings, dwPropertyId, nameBudget);
        }
        found.push_back(std::move(entry));
    }
    auto map = std::make_shared<NamedPropertyMap>();
    map->InsertAll(std::move(found));
    // GUID indexes are 15 bits wide: no more GUIDs than that can be named.
    if (const PropertyValue* guidStream = FindValue(group, kPidTagNameidStreamGuid);
        guidStream && guidStream->hasData()) {
        const std::vector<uint8_t>& bytes = *guidStream->data;
        std::vector<NamedPropertyMap::Guid> guids;
        for (size_t at = 0; at + 16 <= bytes.size() && guids.size() < 0x8000; at += 16) {
            NamedPropertyMap::Guid guid;
            std::copy(bytes.begin() + at, bytes.begin() + at + 16, guid.begin());
            guids.push_back(guid);
        }
        map->SetGuids(std::move(guids));
    }
    context.namedProps = std::move(map);
    return NamedMapLoad::Built;
}

}  // namespace kestrel

#include "items/node_value_reader.h"

#include "items/named_property_map.h"
#include "storage/cfile64.h"

namespace kestrel {

namespace {

constexpr uint16_t kTypeObject = 0x000D;
constexpr uint32_t kAttachDataId = 0x3701;

}  // namespace

bool IsInlinePropertyType(uint16_t type) {
    switch (type) {
        case 0x0002:  // 16-bit integer
        case 0x0003:  // 32-bit integer
        case 0x0004:  // 32-bit float
        case 0x000A:  // error code
        case 0x000B:  // boolean
            return true;
        default:
            return false;
    }
}

bool IsFixedColumnType(uint16_t type) {
    switch (type) {
        case 0x0002:
        case 0x0003:
        case 0x0004:
        case 0x0005:  // 64-bit float
        case 0x0006:  // currency
        case 0x0007:  // application time
        case 0x000A:
        case 0x000B:
        case 0x0014:  // 64-bit integer
        case 0x0040:  // file time
            return true;
        default:
            return false;
    }
}

bool IsHnidPropertyType(uint16_t type) {
    switch (type) {
        case 0x0005:
        case 0x0006:
        case 0x0007:
        case 0x000D:  // object: an HNID to (NID, size)
        case 0x0014:
        case 0x001E:  // 8-bit string
        case 0x001F:  // UTF-16 string
        case 0x0040:
        case 0x0048:  // GUID
        case 0x0102:  // binary
            return true;
        default:
            break;
    }
    // Every multi-valued type is a counted list in the heap or a subnode.
    if ((type & 0xF000) != 0x1000) return false;
    const uint16_t single = type & 0x0FFF;
    return single != 0x000D && (IsInlinePropertyType(single) || IsHnidPropertyType(single));
}

PropertyValue NodeValueReader::Begin(uint16_t propertyId, uint16_t type) const {
    PropertyValue value;
    value.propertyId = propertyId;
    value.type = type;
    value.typeOrNid = type;
    if (propertyId < 0x8000 || !context_.namedProps) return value;
    const NamedPropertyEntry* entry = context_.namedProps->Find(propertyId);
    if (!entry) return value;
    if (entry->kind == 1) {
        // Only LIDs in the named range are taken over: a small LID would land on an
        // ordinary tag (0x001A is the message class) and be read as that property.
        if (entry->numericName >= 0x8000) value.propertyId = entry->numericName;
    } else if (entry->kind == 2) {
        value.propertyId = 2;
        value.name = entry->stringName;
    }
    return value;
}

const SubnodeEntry* NodeValueReader::FindSubnode(uint32_t nid, const SubnodeList** list) const {
    for (const SubnodeList* candidate : {subnodes_, fallback_}) {
        if (!candidate) continue;
        if (const SubnodeEntry* entry = candidate->Find(nid)) {
            *list = candidate;
            return entry;
        }
    }
    return nullptr;
}

void NodeValueReader::ReadSubnodeValue(uint32_t nid, PropertyValue& value, bool measure) {
    value.data.reset();
    value.measuredSize.reset();
    value.typeOrNid = nid;
    if (Exhausted() || Stopped()) return;
    const SubnodeList* list = nullptr;
    const SubnodeEntry* entry = FindSubnode(nid, &list);
    if (!entry) return;
    if (measure) {
        size_t size = 0;
        try {
            size = MeasureDataBlocks(context_, entry->block);
        } catch (const FileError&) {
            return;
        }
        if (size == 0) return;
        value.measuredSize = size;
        value.typeOrNid = value.type;
        return;
    }
    std::vector<uint8_t> bytes;
    try {
        if (ReadSubnodeData(context_, nid, *list, bytes) == 0) return;
    } catch (const FileError&) {
        return;
    }
    value.data = std::move(bytes);
    value.typeOrNid = value.type;
}

bool NodeValueReader::ReadHnid(uint32_t hnid, PropertyValue& value) {
    if (hnid == 0) return false;
    const bool measure = options_.measureAttachmentData && value.propertyId == kAttachDataId;
    if (IsHid(hnid)) {
        const auto allocation = heap_.Allocation(hnid);
        if (!allocation) return false;
        const auto bytes = allocation->span();
        value.data.emplace(bytes.begin(), bytes.end());
    } else {
        // An object's first value is the reference to its subnode: that one is read.
        ReadSubnodeValue(hnid, value, measure && value.type != kTypeObject);
    }
    if (value.type == kTypeObject) {
        // The object's value names the subnode that holds it (NID, then size).
        const ByteReader reference(value.data ? ByteReader(*value.data) : ByteReader());
        const auto nid = reference.U32(0);
        if (!nid) {
            value.data.reset();
            return true;
        }
        ReadSubnodeValue(*nid, value, measure);
    }
    return true;
}

void NodeValueReader::Charge(const PropertyValue& value) {
    // A measured value costs what reading it would have: the budget ends a parse at the
    // same place either way.
    spent_ += sizeof(PropertyValue) + value.length() + value.name.size() +
              static_cast<size_t>(value.measuredSize.value_or(0));
}

bool NodeValueReader::ReadSubnodeBlocks(uint32_t nid, std::vector<std::vector<uint8_t>>& blocks) {
    const SubnodeList* list = nullptr;
    const SubnodeEntry* entry = FindSubnode(nid, &list);
    if (!entry || Stopped()) return false;
    try {
        return ReadDataBlocks(context_, entry->block, blocks) != 0;
    } catch (const FileError&) {
        return false;
    }
}

}  // namespace kestrel

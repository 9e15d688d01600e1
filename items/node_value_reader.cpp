#include "items/node_value_reader.h"

#include <algorithm>

#include "items/named_property_map.h"
#include "items/property_tags.h"
#include "items/property_text.h"
#include "items/utf16.h"
#include "storage/cfile64.h"

namespace kestrel {

bool IsInlinePropertyType(uint16_t type) {
    switch (type) {
        case kPtypInteger16:
        case kPtypInteger32:
        case kPtypFloating32:
        case kPtypErrorCode:
        case kPtypBoolean:
            return true;
        default:
            return false;
    }
}

bool IsFixedColumnType(uint16_t type) {
    switch (type) {
        case kPtypInteger16:
        case kPtypInteger32:
        case kPtypFloating32:
        case kPtypFloating64:
        case kPtypCurrency:
        case kPtypFloatingTime:
        case kPtypErrorCode:
        case kPtypBoolean:
        case kPtypInteger64:
        case kPtypTime:
            return true;
        default:
            return false;
    }
}

bool IsHnidPropertyType(uint16_t type) {
    switch (type) {
        case kPtypFloating64:
        case kPtypCurrency:
        case kPtypFloatingTime:
        case kPtypObject:  // an HNID to (NID, size)
        case kPtypInteger64:
        case kPtypString8:
        case kPtypString:
        case kPtypTime:
        case kPtypGuid:
        case kPtypBinary:
            return true;
        default:
            break;
    }
    // Every multi-valued type is a counted list in the heap or a subnode.
    if ((type & kPtypMultipleMask) != kPtypMultipleFlag) return false;
    const uint16_t single = type & kPtypSingleMask;
    return single != kPtypObject && (IsInlinePropertyType(single) || IsHnidPropertyType(single));
}

PropertyValue NodeValueReader::Begin(uint16_t propertyId, uint16_t type) const {
    PropertyValue value;
    value.propertyId = propertyId;
    value.type = type;
    value.typeOrNid = type;
    if (propertyId < kFirstNamedPropertyId || !context_.namedProps) return value;
    const NamedPropertyEntry* entry = context_.namedProps->Find(propertyId);
    if (!entry) return value;
    if (entry->kind == kNumericName) {
        // Only LIDs in the named range are taken over: a small LID would land on an
        // ordinary tag (0x001A is the message class) and be read as that property.
        if (entry->numericName >= kFirstNamedPropertyId) value.propertyId = entry->numericName;
    } else if (entry->kind == kStringName) {
        value.propertyId = kStringNamedPropertyId;
        value.name = entry->stringName;
    }
    return value;
}

const SubnodeEntry* NodeValueReader::FindSubnode(uint32_t nid) const {
    for (const SubnodeList* candidate : {subnodes_, fallback_}) {
        if (!candidate) continue;
        if (const SubnodeEntry* entry = candidate->Find(nid)) return entry;
    }
    return nullptr;
}

void NodeValueReader::ReadSubnodeValue(uint32_t nid, PropertyValue& value, ValueRead how) {
    value.data.reset();
    value.measuredSize.reset();
    value.textLength.reset();
    value.typeOrNid = nid;
    if (Exhausted() || Stopped()) return;
    const SubnodeEntry* entry = FindSubnode(nid);
    if (!entry) return;
    std::vector<uint8_t> bytes;
    Utf16LengthCounter counter;
    size_t size = 0;
    try {
        switch (how) {
            case ValueRead::kMeasure:
                size = MeasureDataBlocks(context_.storage, entry->block);
                break;
            case ValueRead::kMeasureText:
                size = VisitNodeData(
                    context_.storage, entry->block,
                    [&counter](std::span<const uint8_t> piece) { counter.Add(piece); });
                break;
            case ValueRead::kPeek:
                size = PeekNodeData(context_.storage, entry->block, kPeekedBytes, bytes);
                break;
            case ValueRead::kWhole:
                size = ReadNodeData(context_.storage, entry->block, bytes);
                break;
        }
    } catch (const FileError&) {
        return;
    }
    if (size == 0) return;
    value.typeOrNid = value.type;
    // Measured, or not read to its end: the whole size is known all the same.
    if (size > bytes.size()) value.measuredSize = size;
    if (how == ValueRead::kMeasureText) value.textLength = counter.Finish();
    if (how == ValueRead::kWhole || how == ValueRead::kPeek) value.data = std::move(bytes);
}

bool NodeValueReader::ReadHnid(uint32_t hnid, PropertyValue& value) {
    if (hnid == 0) return false;
    if (options_.skipBodies &&
        (value.propertyId == kPidTagBody || value.propertyId == kPidTagHtml ||
         value.propertyId == kPidTagRtfCompressed))
        return false;
    ValueRead how = ValueRead::kWhole;
    if (options_.measureAttachmentData && value.propertyId == kPidTagAttachDataBinary)
        how = ValueRead::kMeasure;
    else if ((options_.measureBody && value.propertyId == kPidTagHtml) ||
             (options_.checkRtfOnly && value.propertyId == kPidTagRtfCompressed))
        how = ValueRead::kPeek;
    else if (options_.measureBody && value.propertyId == kPidTagBody &&
             IsWideText(value.type, context_.variant()))
        how = ValueRead::kMeasureText;
    if (IsHid(hnid)) {
        const auto allocation = heap_.Allocation(hnid);
        if (!allocation) return false;
        const auto bytes = allocation->span();
        // As with a value in a subnode: measured, or only its first bytes taken.
        if (value.type == kPtypObject || how == ValueRead::kWhole) {
            value.data.emplace(bytes.begin(), bytes.end());
        } else if (how == ValueRead::kMeasure) {
            value.measuredSize = bytes.size();
        } else if (how == ValueRead::kMeasureText) {
            value.measuredSize = bytes.size();
            value.textLength = NarrowUtf16Length(bytes.data(), bytes.size());
        } else {
            const size_t kept = std::min(bytes.size(), kPeekedBytes);
            value.data.emplace(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(kept));
            if (kept < bytes.size()) value.measuredSize = bytes.size();
        }
    } else {
        // An object's first value is the reference to its subnode: that one is read.
        ReadSubnodeValue(hnid, value, value.type == kPtypObject ? ValueRead::kWhole : how);
    }
    if (value.type == kPtypObject) {
        // The object's value names the subnode that holds it (NID, then size).
        const ByteReader reference(value.data ? ByteReader(*value.data) : ByteReader());
        const auto nid = reference.U32(0);
        if (!nid) {
            value.data.reset();
            return true;
        }
        ReadSubnodeValue(*nid, value, how);
    }
    return true;
}

void NodeValueReader::Charge(const PropertyValue& value) {
    // A measured value costs what reading it would have: the budget ends a parse at the
    // same place either way.
    spent_ += sizeof(PropertyValue) + value.name.size() +
              std::max(value.length(), static_cast<size_t>(value.measuredSize.value_or(0)));
}

bool NodeValueReader::ReadSubnodeBlocks(uint32_t nid, std::vector<std::vector<uint8_t>>& blocks) {
    const SubnodeEntry* entry = FindSubnode(nid);
    if (!entry || Stopped()) return false;
    try {
        return ReadDataBlocks(context_.storage, entry->block, blocks) != 0;
    } catch (const FileError&) {
        return false;
    }
}

}  // namespace kestrel

#include "items/property_context.h"

#include "items/bth.h"

namespace kestrel {

std::optional<PropertyGroup> ParsePropertyContext(const HeapOnNode& heap, NodeValueReader& reader) {
    const auto header = ReadBthHeader(heap, heap.userRoot());
    // Records are a 2-byte property id, then the 2-byte type and the 4-byte value word.
    if (!header || header->cbKey != 2 || header->cbEnt != 6) return std::nullopt;

    PropertyGroup group;
    group.groupCount = 1;
    // A message holds a few dozen values: room for them at once instead of doubling.
    group.values.reserve(64);
    bool stopped = false;
    WalkBth(heap, *header, [&](ByteReader key, ByteReader record) {
        if (reader.Stopped()) {
            stopped = true;
            return false;
        }
        if (reader.Exhausted()) return false;
        const uint16_t id = *key.U16(0);
        const uint16_t type = *record.U16(0);
        const uint32_t word = *record.U32(2);
        PropertyValue value = reader.Begin(id, type);
        if (IsInlinePropertyType(type)) {
            value.data = std::vector<uint8_t>{
                static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
        } else if (IsHnidPropertyType(type)) {
            if (!reader.ReadHnid(word, value)) return true;
        }
        // Types the parser does not know stay in the group with their id and no data.
        reader.Charge(value);
        group.values.push_back(std::move(value));
        return true;
    });
    if (stopped || reader.Stopped()) return std::nullopt;
    return group;
}

}  // namespace kestrel

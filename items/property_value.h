#pragma once
// Parsed properties: one group per property context or table row.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

struct PropertyValue {
    uint32_t propertyId = 0;  // after named-property mapping; 2 for string-named ones
    uint16_t type = 0;        // the property type of the tag (0x001F, ...)
    uint32_t typeOrNid = 0;   // the type, or the subnode NID whose read gave nothing
    std::optional<std::vector<uint8_t>> data;  // the value bytes; absent: no data
    // The value's size when it was measured instead of read (data then absent), or when
    // only its first bytes were read (data then holds them).
    std::optional<uint64_t> measuredSize;
    // The UTF-8 length of UTF-16 text measured instead of read (data then absent).
    std::optional<uint64_t> textLength;
    std::string name;  // for string-named properties (UTF-8)

    size_t length() const { return data ? data->size() : 0; }
    bool hasData() const { return data.has_value(); }
};

struct PropertyGroup {
    uint32_t groupCount = 1;  // 1 for a property context; the row count for a table
    std::vector<PropertyValue> values;
};

// Groups in list order: a table's rows come last row first.
using PropertyGroupList = std::vector<PropertyGroup>;

}  // namespace kestrel

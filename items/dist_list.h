#pragma once
// The members of a distribution list, as two parallel multi-valued binary properties keep
// them: entry ids of the members (LID 0x8055) and one-off entry ids with each member's
// name and address (LID 0x8054).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "items/item_record.h"

namespace kestrel {

// The values of a stored multi-valued binary property: a count, that many offsets, then
// the data. Values whose offsets break the data's bounds or order end the list.
std::vector<std::vector<uint8_t>> SplitMultipleBinary(std::span<const uint8_t> data);

struct OneOffEntry {
    std::string displayName;
    std::string addressType;
    std::string address;
};

// A one-off entry id: zero flags, the one-off provider's UID, version, flags (0x8000:
// UTF-16 strings), then the name, the address type and the address, each zero-ended.
// 8-bit strings are read in codePage. nullopt when the bytes are not one.
std::optional<OneOffEntry> ParseOneOffEntryId(std::span<const uint8_t> bytes, uint32_t codePage);

// The members of a list from the two properties' values, position by position.
std::vector<DistListMember> DistListMembers(std::span<const uint8_t> members,
                                            std::span<const uint8_t> oneOffs, uint32_t codePage);

}  // namespace kestrel

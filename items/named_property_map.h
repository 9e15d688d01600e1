#pragma once
// The file's named-property map (node 0x61): which 0x8000+ property id stands for which
// name, numeric (a LID) or string.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "items/item_context.h"

namespace kestrel {

// NamedPropertyEntry::kind.
inline constexpr uint32_t kNumericName = 1;
inline constexpr uint32_t kStringName = 2;

struct NamedPropertyEntry {
    uint16_t guidWord = 0;     // bit 0: N (string name), bits 1..15: GUID index
    uint32_t kind = 0;         // 1 numeric name, 2 string name
    uint32_t fileId = 0;       // 0x8000 + wPropIdx: the id the file's contexts use
    uint32_t numericName = 0;  // kind 1: the LID (low 16 bits of dwPropertyID)
    std::string stringName;    // kind 2: the name, UTF-8
};

class NamedPropertyMap {
  public:
    // Inserts keeping fileId ascending (equal ids keep their insertion order).
    void Insert(NamedPropertyEntry entry);
    // Inserts every entry as Insert would, one after another, in one sort.
    void InsertAll(std::vector<NamedPropertyEntry> entries);
    // The first entry with that fileId, or null.
    const NamedPropertyEntry* Find(uint32_t fileId) const;
    const std::vector<NamedPropertyEntry>& entries() const { return entries_; }
    size_t size() const { return entries_.size(); }

    using Guid = std::array<uint8_t, 16>;  // as stored: the first three fields little-endian
    // The GUID stream (0x0002): entry GUID index 3 names its first GUID.
    void SetGuids(std::vector<Guid> guids) { guids_ = std::move(guids); }
    const std::vector<Guid>& guids() const { return guids_; }
    // The file id of the first numeric entry naming lid in the property set guid; 0 when
    // there is none.
    uint32_t FileIdOf(const Guid& guid, uint32_t lid) const;

  private:
    std::vector<NamedPropertyEntry> entries_;
    std::vector<Guid> guids_;
};

// PSETID_Meeting {6ED8DA90-450B-101B-98DA-00AA003F1305}.
inline constexpr NamedPropertyMap::Guid kPsetidMeeting = {
    0x90, 0xDA, 0xD8, 0x6E, 0x0B, 0x45, 0x1B, 0x10, 0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05};

enum class NamedMapLoad : int { NotBuilt = 0, Built = 1 };

// Builds the map from node 0x61 and stores it in context.namedProps.
NamedMapLoad LoadNamedPropertyMap(ItemContext& context);

}  // namespace kestrel

#pragma once
// A node's subnodes flattened into one list: nested subnodes follow the entry that owns
// them. Both SLBLOCKs and SIBLOCKs above them are followed.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "storage/pst_context.h"

namespace kestrel {

struct SubnodeEntry {
    uint32_t nid = 0;
    // The entries right after this one that its own subnode block gave (at every depth);
    // kNestedUnknown when that read was cut short (a block met before, the nesting limit).
    uint32_t nested = 0;
    const BlockRecord* block = nullptr;         // the subnode's data, never null
    const BlockRecord* subnodeBlock = nullptr;  // its own subnode block, or null

    static constexpr uint32_t kNestedUnknown = UINT32_MAX;
};

struct SubnodeList {
    std::vector<SubnodeEntry> entries;

    bool empty() const { return entries.empty(); }
    size_t size() const { return entries.size(); }
    // The first entry with that nid, or null.
    const SubnodeEntry* Find(uint32_t nid) const;
};

// Appends the entries of the subnode block (and of nested lists) to list.
void BuildSubnodeList(PstContext& context, const BlockRecord* block, SubnodeList& list);
// A new list from one subnode block.
SubnodeList BuildSubnodeList(PstContext& context, const BlockRecord* block);

// What BuildSubnodeList gives for the subnode block of entry, an entry of list: the entries
// of list nested below it where list holds them all, else read again.
SubnodeList OwnSubnodeList(PstContext& context, const SubnodeList& list, const SubnodeEntry& entry);

// The data block record of the first entry with that nid, or null.
const BlockRecord* FindSubnode(const SubnodeList& list, uint32_t nid);

// The whole data of subnode nid into out; returns its size, 0 when nid is not in list.
size_t ReadSubnodeData(PstContext& context, uint32_t nid, const SubnodeList& list,
                       std::vector<uint8_t>& out);

}  // namespace kestrel

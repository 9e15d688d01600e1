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
    const BlockRecord* block = nullptr;         // the subnode's data, never null
    const BlockRecord* subnodeBlock = nullptr;  // its own subnode block, or null
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

// The data block record of the first entry with that nid, or null.
const BlockRecord* FindSubnode(const SubnodeList& list, uint32_t nid);

// The whole data of subnode nid into out; returns its size, 0 when nid is not in list.
size_t ReadSubnodeData(PstContext& context, uint32_t nid, const SubnodeList& list,
                       std::vector<uint8_t>& out);

}  // namespace kestrel

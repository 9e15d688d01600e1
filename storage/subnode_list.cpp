#include "storage/subnode_list.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "storage/block_reader.h"
#include "storage/btree_loader.h"
#include "storage/byte_reader.h"
#include "storage/nid.h"

namespace kestrel {

namespace {

constexpr uint16_t kLeafBlock = 0x0002;          // btype 2, cLevel 0: SLBLOCK
constexpr uint16_t kIntermediateBlock = 0x0102;  // btype 2, cLevel 1: SIBLOCK
// Nested lists (attachments of attached messages ...) rarely go past a handful of levels.
constexpr int kMaxNesting = 16;

class SubnodeReader {
  public:
    SubnodeReader(PstContext& context, SubnodeList& list) : context_(context), list_(list) {}

    void Read(const BlockRecord& block, int nesting) {
        // Each subnode block is read once per list: a block naming itself or an ancestor
        // ends there.
        if (nesting >= kMaxNesting || context_.Stopped() ||
            !visited_.insert(BidKey(block.bid)).second) {
            cut_ = true;
            return;
        }

        std::vector<uint8_t> bytes;
        if (ReadBlockRecord(context_, block, bytes) < BlockDataSize(block)) return;
        ByteReader reader(bytes);
        const PstLayout& layout = *context_.layout;
        uint16_t kind = reader.U16(0).value_or(0);
        // cEnt is taken as signed: a count of 0x8000 or more names no entries.
        int16_t declared = static_cast<int16_t>(reader.U16(2).value_or(0));
        if (declared <= 0) return;

        if (kind == kLeafBlock) {
            const size_t size = layout.subnodeLeafEntrySize;
            const size_t count = Fit(reader, static_cast<size_t>(declared), size);
            // The entries' block lookups are started together (see BlockIndex::Prefetch).
            for (size_t i = 0; i < count; ++i) {
                const size_t at = layout.subnodeHeaderSize + i * size;
                context_.blocks.Prefetch(reader.UInt(at + layout.idSize, layout.idSize).value_or(0));
                context_.blocks.Prefetch(
                    reader.UInt(at + 2 * layout.idSize, layout.idSize).value_or(0));
            }
            for (size_t i = 0; i < count; ++i) {
                const size_t at = layout.subnodeHeaderSize + i * size;
                uint32_t nid = reader.U32(at).value_or(0);
                uint64_t bidData = reader.UInt(at + layout.idSize, layout.idSize).value_or(0);
                uint64_t bidSub = reader.UInt(at + 2 * layout.idSize, layout.idSize).value_or(0);
                const BlockRecord* data = FindBlock(context_, bidData);
                // Without its data the entry is dropped, nested subnodes and all.
                if (!data) continue;
                const BlockRecord* sub = bidSub ? FindBlock(context_, bidSub) : nullptr;
                list_.entries.push_back({nid, 0, data, sub});
                // Nested entries follow the entry that owns them.
                if (sub) ReadNested(*sub, nesting + 1);
            }
        } else if (kind == kIntermediateBlock) {
            // SIENTRY: the first NID of a child SLBLOCK and that block's BID.
            const size_t size = layout.subnodeIntermediateEntrySize;
            const size_t count = Fit(reader, static_cast<size_t>(declared), size);
            for (size_t i = 0; i < count; ++i) {
                const size_t at = layout.subnodeHeaderSize + i * size;
                uint64_t bid = reader.UInt(at + layout.idSize, layout.idSize).value_or(0);
                if (const BlockRecord* child = FindBlock(context_, bid)) Read(*child, nesting + 1);
            }
        }
    }

  private:
    // The entry last added owns what the block gives; the count is kept unless the read of
    // it was cut short, where a read of the block alone would give more.
    void ReadNested(const BlockRecord& block, int nesting) {
        const size_t owner = list_.entries.size() - 1;
        const bool cutBefore = std::exchange(cut_, false);
        Read(block, nesting);
        const size_t nested = list_.entries.size() - owner - 1;
        list_.entries[owner].nested = cut_ || nested >= SubnodeEntry::kNestedUnknown
                                          ? SubnodeEntry::kNestedUnknown
                                          : static_cast<uint32_t>(nested);
        cut_ = cut_ || cutBefore;
    }

    size_t Fit(const ByteReader& reader, size_t declared, size_t entrySize) const {
        const size_t header = context_.layout->subnodeHeaderSize;
        size_t fit = reader.size() > header ? (reader.size() - header) / entrySize : 0;
        return std::min(declared, fit);
    }

    PstContext& context_;
    SubnodeList& list_;
    std::unordered_set<uint64_t> visited_;
    bool cut_ = false;  // a block was passed over since the flag was last cleared
};

}  // namespace

const SubnodeEntry* SubnodeList::Find(uint32_t nid) const {
    for (const SubnodeEntry& entry : entries) {
        if (entry.nid == nid) return &entry;
    }
    return nullptr;
}

void BuildSubnodeList(PstContext& context, const BlockRecord* block, SubnodeList& list) {
    if (!block || !context.layout) return;
    SubnodeReader reader(context, list);
    reader.Read(*block, 0);
}

SubnodeList BuildSubnodeList(PstContext& context, const BlockRecord* block) {
    SubnodeList list;
    BuildSubnodeList(context, block, list);
    return list;
}

SubnodeList OwnSubnodeList(PstContext& context, const SubnodeList& list,
                           const SubnodeEntry& entry) {
    const size_t at = static_cast<size_t>(&entry - list.entries.data());
    if (entry.subnodeBlock == nullptr || entry.nested == SubnodeEntry::kNestedUnknown ||
        at >= list.entries.size() || list.entries.size() - at - 1 < entry.nested)
        return BuildSubnodeList(context, entry.subnodeBlock);
    SubnodeList own;
    own.entries.assign(list.entries.begin() + static_cast<ptrdiff_t>(at + 1),
                       list.entries.begin() + static_cast<ptrdiff_t>(at + 1 + entry.nested));
    return own;
}

const BlockRecord* FindSubnode(const SubnodeList& list, uint32_t nid) {
    const SubnodeEntry* entry = list.Find(nid);
    return entry ? entry->block : nullptr;
}

size_t ReadSubnodeData(PstContext& context, uint32_t nid, const SubnodeList& list,
                       std::vector<uint8_t>& out) {
    const BlockRecord* block = FindSubnode(list, nid);
    if (!block) {
        out.clear();
        return 0;
    }
    return ReadNodeData(context, block, out);
}

}  // namespace kestrel

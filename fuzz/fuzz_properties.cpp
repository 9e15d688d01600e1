// Property parsing on one node: the first chunk is the node's data block (a heap holding
// a property or table context), every further chunk a subnode of it whose first four
// bytes are its NID. The same node is read as the name map (node 0x61), then parsed,
// assembled and loaded as an item with its attachment table and attachments.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_blocks.h"
#include "items/item_assembler.h"
#include "items/named_property_map.h"
#include "items/node_item.h"
#include "items/property_parser.h"
#include "storage/subnode_list.h"

using namespace kestrel;

namespace {

void PutLe(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    const PstVariant variant = (mode & 1) ? PstVariant::Ansi : PstVariant::Unicode;
    const uint32_t crypt = ((mode >> 1) & 3) == 3 ? 0 : (mode >> 1) & 3;
    const size_t width = variant == PstVariant::Ansi ? 4 : 8;

    const auto chunks = fuzz::SplitChunks({data + 1, size - 1});
    std::vector<fuzz::BlockPlan> plans;
    plans.push_back({fuzz::ChunkBid(0, false), chunks[0]});
    // The subnodes, and the SLBLOCK that lists them (internal, never encoded).
    std::vector<uint8_t> slblock{0x02, 0x00};
    const size_t subnodes = std::min<size_t>(chunks.size() - 1, 0x7FFF);
    PutLe(slblock, subnodes, 2);
    if (width == 8) PutLe(slblock, 0, 4);
    for (size_t i = 1; i <= subnodes; ++i) {
        const auto chunk = chunks[i];
        uint32_t nid = 0;
        for (size_t k = 0; k < 4 && k < chunk.size(); ++k) nid |= uint32_t{chunk[k]} << (8 * k);
        const uint64_t bid = fuzz::ChunkBid(i, false);
        plans.push_back({bid, chunk.size() > 4 ? chunk.subspan(4) : chunk.subspan(chunk.size())});
        PutLe(slblock, nid, width);
        PutLe(slblock, bid, width);
        PutLe(slblock, 0, width);
    }
    const uint64_t slBid = fuzz::ChunkBid(chunks.size(), true);
    plans.push_back({slBid, slblock});

    fuzz::FuzzBlocks store = fuzz::MakeBlockStore(plans, variant, crypt);
    PstContext& context = *store.context;
    const BlockRecord* dataBlock = store.records.front();
    const BlockRecord* subnodeBlock = store.records.back();

    // The name map first, so that the parse below maps named ids through it.
    NodeRecord* names = context.nodes.Create(0x61);
    names->dataBlock = dataBlock;
    names->subnodeBlock = subnodeBlock;
    context.nodes.AppendTop(names);
    ItemContext items(context);
    LoadNamedPropertyMap(items);

    const SubnodeList list = BuildSubnodeList(context, subnodeBlock);
    PropertyGroupList groups = ParseNodeProperties(items, dataBlock, &list, &list);
    ItemRecord item;
    AssembleItem(groups, item, AssembleOptions{.variant = variant});

    NodeRecord message;
    message.nid = 0x200024;
    message.dataBlock = dataBlock;
    message.subnodeBlock = subnodeBlock;
    // As the item source reads an item in full, and as the folder walk lists it.
    LoadNodeItem(items, &message);
    LoadNodeItem(
        items, &message,
        AssembleOptions{.measureAttachmentData = true, .checkRtfOnly = true, .measureBody = true});
    return 0;
}

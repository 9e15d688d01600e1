// Subnode lists: the first chunk's block read as a node's subnode block (SLBLOCK or
// SIBLOCK, nested lists followed). Every entry names a block of the index, and a list
// holds no more entries than its blocks can carry.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_blocks.h"
#include "storage/subnode_list.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzBlocks store = fuzz::MakeChunkStore(data, size);
    if (store.records.empty()) return 0;
    PstContext& context = *store.context;

    const SubnodeList list = BuildSubnodeList(context, store.records.front());
    // The smallest entry (Ansi SLENTRY) takes 12 bytes; each block is read once per list.
    if (list.size() > store.totalBytes / 12) __builtin_trap();
    std::vector<uint8_t> out;
    size_t read = 0;
    for (const SubnodeEntry& entry : list.entries) {
        if (entry.block == nullptr) __builtin_trap();
        if (read++ < 8) ReadSubnodeData(context, entry.nid, list, out);
    }
    return 0;
}

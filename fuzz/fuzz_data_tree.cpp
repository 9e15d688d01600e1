// Data trees: the first chunk's block read as a node's data (one block, or an XBLOCK or
// XXBLOCK over the others). Whatever the blocks say, the data never outgrows the blocks
// there are: every block is used at most once per tree.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_blocks.h"
#include "storage/block_reader.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzBlocks store = fuzz::MakeChunkStore(data, size);
    if (store.records.empty()) return 0;
    PstContext& context = *store.context;
    const BlockRecord* root = store.records.front();

    std::vector<uint8_t> out;
    const size_t tree = ReadDataTree(context, root->bid, out);
    if (tree != out.size() || tree > store.totalBytes) __builtin_trap();

    const size_t node = ReadNodeData(context, root, out);
    if (node != out.size() || node > store.totalBytes) __builtin_trap();

    std::vector<std::vector<uint8_t>> blocks;
    size_t sum = 0;
    const size_t total = ReadDataBlocks(context, root, blocks);
    for (const auto& block : blocks) sum += block.size();
    if (total != sum || total > store.totalBytes || total != node) __builtin_trap();
    return 0;
}

// The storage layer: loading both B-trees of a file with ~100k nodes, reading node data,
// and the two block encodings.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_fixtures.h"
#include "storage/block_reader.h"
#include "storage/btree_loader.h"
#include "storage/subnode_list.h"

namespace kestrel::bench {
namespace {

PstVariant VariantArg(const benchmark::State& state) {
    return state.range(0) ? PstVariant::Unicode : PstVariant::Ansi;
}

void BM_LoadIndexes(benchmark::State& state) {
    const auto& image = IndexImage(VariantArg(state), static_cast<size_t>(state.range(1)));
    PstContext context;
    OpenPstImage(context, image);
    for (auto _ : state) {
        benchmark::DoNotOptimize(LoadIndexes(context));
    }
    state.counters["nodes"] = static_cast<double>(context.nodes.CreatedCount());
    state.counters["blocks"] = static_cast<double>(context.blocks.size());
    state.SetItemsProcessed(state.iterations() *
                            static_cast<int64_t>(context.nodes.CreatedCount()));
}
BENCHMARK(BM_LoadIndexes)
    ->ArgNames({"unicode", "nodes"})
    ->Args({1, 100000})
    ->Args({0, 100000})
    ->Unit(benchmark::kMillisecond);

// The same through the file (pread per page).
void BM_LoadIndexesFile(benchmark::State& state) {
    const auto& image = IndexImage(PstVariant::Unicode, static_cast<size_t>(state.range(0)));
    const auto path = ImageFile(image, "bench-index.pst");
    PstContext context;
    if (OpenPstFile(context, path.string()) != 0) {
        state.SkipWithError("cannot open the fixture file");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(LoadIndexes(context));
    }
    state.SetItemsProcessed(state.iterations() *
                            static_cast<int64_t>(context.nodes.CreatedCount()));
}
BENCHMARK(BM_LoadIndexesFile)->ArgName("nodes")->Arg(100000)->Unit(benchmark::kMillisecond);

// Every message node's data (its heap) through the file, in node order.
void BM_ReadNodeData(benchmark::State& state) {
    const Mailbox& box = TypicalMailbox(PstVariant::Unicode);
    const auto path = ImageFile(box.image, "bench-mailbox.pst");
    PstContext context;
    if (OpenPstFile(context, path.string()) != 0 || LoadIndexes(context) != 0) {
        state.SkipWithError("cannot open the fixture file");
        return;
    }
    std::vector<const BlockRecord*> blocks;
    for (uint32_t nid : box.messages) blocks.push_back(FindNode(context, nid)->dataBlock);
    std::vector<uint8_t> out;
    int64_t bytes = 0;
    for (auto _ : state) {
        for (const BlockRecord* block : blocks)
            bytes += static_cast<int64_t>(ReadNodeData(context, block, out));
    }
    state.SetBytesProcessed(bytes);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(blocks.size()));
}
BENCHMARK(BM_ReadNodeData)->Unit(benchmark::kMicrosecond);

// Each message of the same mailbox, whole (its heap and every subnode's data), in the
// Unicode layout and in the 4 KB-page one whose blocks are deflated: what inflating costs
// per message.
void BM_ReadMessagesByLayout(benchmark::State& state) {
    const PstVariant variant = state.range(0) ? PstVariant::Unicode4k : PstVariant::Unicode;
    const Mailbox& box = TypicalMailbox(variant);
    const auto path = ImageFile(box.image, state.range(0) ? "bench-4k.ost" : "bench-unicode.pst");
    PstContext context;
    if (OpenPstFile(context, path.string()) != 0 || LoadIndexes(context) != 0) {
        state.SkipWithError("cannot open the fixture file");
        return;
    }
    std::vector<const NodeRecord*> nodes;
    for (uint32_t nid : box.messages) nodes.push_back(FindNode(context, nid));
    size_t deflated = 0;
    for (const BlockRecord& block : context.blocks) deflated += IsCompressed(block);
    std::vector<uint8_t> out;
    int64_t bytes = 0;
    for (auto _ : state) {
        for (const NodeRecord* node : nodes) {
            bytes += static_cast<int64_t>(ReadNodeData(context, node->dataBlock, out));
            for (const SubnodeEntry& entry : BuildSubnodeList(context, node->subnodeBlock).entries)
                bytes += static_cast<int64_t>(ReadNodeData(context, entry.block, out));
        }
    }
    state.counters["deflatedBlocks"] = static_cast<double>(deflated);
    state.counters["fileBytes"] = static_cast<double>(box.image.size());
    state.SetBytesProcessed(bytes);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(nodes.size()));
}
BENCHMARK(BM_ReadMessagesByLayout)->ArgName("fourK")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_DecodePermute(benchmark::State& state) {
    std::vector<uint8_t> block(static_cast<size_t>(state.range(0)));
    Random random(3);
    for (auto& b : block) b = static_cast<uint8_t>(random.Next());
    for (auto _ : state) {
        DecodePermute(block.data(), block.size(), 1);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DecodePermute)->Arg(8176);

void BM_DecodeCyclic(benchmark::State& state) {
    std::vector<uint8_t> block(static_cast<size_t>(state.range(0)));
    Random random(4);
    for (auto& b : block) b = static_cast<uint8_t>(random.Next());
    for (auto _ : state) {
        DecodeCyclic(block.data(), block.size(), 0x12345);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DecodeCyclic)->Arg(8176);

}  // namespace
}  // namespace kestrel::bench

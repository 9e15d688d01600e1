// The item layer: property contexts and tables of ordinary messages, whole node items,
// compressed RTF, and text conversion from UTF-16 and Windows code pages.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_fixtures.h"
#include "items/code_page.h"
#include "items/node_item.h"
#include "items/property_parser.h"
#include "items/rtf_decompress.h"
#include "items/utf16.h"
#include "storage/btree_loader.h"
#include "storage/subnode_list.h"
#include "pstwrite/ltp_builder.h"

namespace kestrel::bench {
namespace {

PstVariant VariantArg(const benchmark::State& state) {
    return state.range(0) ? PstVariant::Unicode : PstVariant::Ansi;
}

std::vector<const NodeRecord*> MessageNodes(const PstContext& context, const Mailbox& box) {
    std::vector<const NodeRecord*> nodes;
    for (uint32_t nid : box.messages) nodes.push_back(FindNode(context, nid));
    return nodes;
}

// Each message's property context with its subnode list, as the item loader reads it.
void BM_ParsePropertyContext(benchmark::State& state) {
    const Mailbox& box = TypicalMailbox(VariantArg(state));
    const LoadedFile file = OpenLoaded(box.image);
    PstContext* context = file.storage.get();
    const auto nodes = MessageNodes(*context, box);
    size_t values = 0;
    for (auto _ : state) {
        for (const NodeRecord* node : nodes) {
            const SubnodeList subnodes = BuildSubnodeList(*context, node->subnodeBlock);
            PropertyGroupList groups = ParseNodeProperties(*file.items, node->dataBlock, &subnodes);
            values += groups.empty() ? 0 : groups.front().values.size();
            benchmark::DoNotOptimize(groups);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(nodes.size()));
    state.counters["values/msg"] =
        static_cast<double>(values) / static_cast<double>(state.iterations() * nodes.size());
}
BENCHMARK(BM_ParsePropertyContext)
    ->ArgName("unicode")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond);

// The folder's contents table: one row per message.
void BM_ParseContentsTable(benchmark::State& state) {
    const Mailbox& box = TypicalMailbox(VariantArg(state), static_cast<size_t>(state.range(1)));
    const LoadedFile file = OpenLoaded(box.image);
    PstContext* context = file.storage.get();
    const NodeRecord* table = FindNode(*context, (box.folder & ~0x1Fu) | 0x0Eu);
    if (!table) {
        state.SkipWithError("no contents table");
        return;
    }
    const SubnodeList subnodes = BuildSubnodeList(*context, table->subnodeBlock);
    size_t rows = 0;
    for (auto _ : state) {
        PropertyGroupList groups = ParseNodeProperties(*file.items, table->dataBlock, &subnodes);
        rows = groups.size();
        benchmark::DoNotOptimize(groups);
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rows));
}
BENCHMARK(BM_ParseContentsTable)
    ->ArgNames({"unicode", "messages"})
    ->Args({1, 400})
    ->Args({1, 3000})
    ->Unit(benchmark::kMillisecond);

// Whole items: properties, attachment table and each attachment, as the folder walk loads
// them.
void BM_LoadNodeItem(benchmark::State& state) {
    const Mailbox& box = TypicalMailbox(VariantArg(state));
    const LoadedFile file = OpenLoaded(box.image);
    const auto nodes = MessageNodes(*file.storage, box);
    for (auto _ : state) {
        for (const NodeRecord* node : nodes) {
            std::unique_ptr<ItemRecord> item = LoadNodeItem(*file.items, node);
            benchmark::DoNotOptimize(item);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(nodes.size()));
}
BENCHMARK(BM_LoadNodeItem)->ArgName("unicode")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_DecompressRtf(benchmark::State& state) {
    const std::string rtf = SampleRtf(static_cast<size_t>(state.range(0)));
    const std::vector<uint8_t> value = CompressLzfu(rtf);
    if (DecompressRtf(value).rtf != rtf) {
        state.SkipWithError("the fixture's compression does not round-trip");
        return;
    }
    for (auto _ : state) {
        RtfDecompressResult result = DecompressRtf(value);
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(rtf.size()));
    state.counters["ratio"] = static_cast<double>(value.size()) / static_cast<double>(rtf.size());
}
BENCHMARK(BM_DecompressRtf)->Arg(4 << 10)->Arg(64 << 10);

const char* const kKinds[] = {"ascii", "latin", "mixed"};

void BM_NarrowUtf16(benchmark::State& state) {
    const std::string text =
        SampleText(kKinds[state.range(0)], static_cast<size_t>(state.range(1)));
    const std::vector<uint8_t> wide = ToUtf16(text);
    for (auto _ : state) {
        std::string out = NarrowUtf16(wide.data(), wide.size());
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(wide.size()));
}
BENCHMARK(BM_NarrowUtf16)->ArgNames({"kind", "bytes"})->ArgsProduct({{0, 1, 2}, {64, 64 << 10}});

// 8-bit text in a code page: plain ASCII (the common case), accented Windows-1252,
// Cyrillic Windows-1251, Shift-JIS, and UTF-8 that is checked as it is copied.
void BM_ConvertToUtf8(benchmark::State& state) {
    struct Case {
        const char* kind;
        uint32_t codePage;
    };
    static const Case kCases[] = {
        {"ascii", 1252}, {"latin", 1252}, {"cyrillic", 1251}, {"japanese", 932}, {"mixed", 65001}};
    const Case& c = kCases[state.range(0)];
    const size_t size = static_cast<size_t>(state.range(1));
    std::string utf8;
    if (std::string(c.kind) == "cyrillic") {
        while (utf8.size() < size) utf8 += "встреча отчёт проект 2007 ";
    } else if (std::string(c.kind) == "japanese") {
        while (utf8.size() < size) utf8 += "会議の予算 report 日程 ";
    } else {
        utf8 = SampleText(c.kind, size);
    }
    const std::vector<uint8_t> bytes = c.codePage == 65001
                                           ? std::vector<uint8_t>(utf8.begin(), utf8.end())
                                           : test::CodePageBytes(utf8, c.codePage);
    state.SetLabel(std::string(c.kind) + "/" + std::to_string(c.codePage));
    for (auto _ : state) {
        std::string out = ConvertToUtf8(bytes, c.codePage);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_ConvertToUtf8)
    ->ArgNames({"case", "bytes"})
    ->ArgsProduct({{0, 1, 2, 3, 4}, {64, 64 << 10}});

}  // namespace
}  // namespace kestrel::bench

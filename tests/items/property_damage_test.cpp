// Damaged heaps: every byte of a property or table context overwritten, every block cut
// short. The parser must give what it can and never read outside the bytes it has (the
// sanitizer build makes any such read fail).
#include <gtest/gtest.h>

#include "items/heap_on_node.h"
#include "items/node_value_reader.h"
#include "items/property_context.h"
#include "items/table_context.h"
#include "pstwrite/ltp_builder.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
using Blocks = std::vector<std::vector<uint8_t>>;

size_t ParseAll(const Blocks& blocks) {
    PstContext context;
    const HeapOnNode heap(blocks);
    if (!heap.valid()) return 0;
    ItemContext items(context);
    NodeValueReader reader(items, heap, nullptr, nullptr);
    size_t values = 0;
    if (heap.clientSignature() == kClientPropertyContext) {
        if (const auto group = ParsePropertyContext(heap, reader)) values += group->values.size();
    } else if (heap.clientSignature() == kClientTableContext) {
        for (const auto& group : ParseTableContext(heap, reader)) values += group.values.size();
    }
    return values;
}

// Overwrites each byte in turn with a few values, and cuts each block at every length.
void Damage(const Blocks& blocks) {
    for (size_t b = 0; b < blocks.size(); ++b) {
        for (size_t i = 0; i < blocks[b].size(); ++i) {
            for (uint8_t v : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x7F}, uint8_t{0x20}}) {
                Blocks damaged = blocks;
                damaged[b][i] = v;
                ParseAll(damaged);
            }
        }
        for (size_t cut = 0; cut < blocks[b].size(); ++cut) {
            Blocks damaged = blocks;
            damaged[b].resize(cut);
            ParseAll(damaged);
        }
    }
}

TEST(DamagedHeap, PropertyContexts) {
    LtpBuilder ltp(PstVariant::Unicode);
    std::vector<Prop> props{Prop::Int32(0x0E08, 7), Prop::Unicode(0x0037, "subject"),
                            Prop::Time(0x0E06, 1), Prop::Binary(0x1009, {1, 2, 3}),
                            Prop::Raw(0x3701, kPtObject, {0x44, 0x80, 0, 0, 9, 0, 0, 0})};
    for (uint16_t i = 0; i < 12; ++i)
        props.push_back(Prop::Int16(static_cast<uint16_t>(0x4000 + i), i));
    const LtpNode node = ltp.PropertyContext(props, {.heapBlockLimit = 120, .recordsPerLeaf = 4});
    ASSERT_GT(node.blocks.size(), 1u);
    EXPECT_EQ(ParseAll(node.blocks), props.size());
    Damage(node.blocks);
}

TEST(DamagedHeap, TableContexts) {
    LtpBuilder ltp(PstVariant::Ansi);
    Table table;
    table.columns = {MakeTag(0x3704, kPtString8), MakeTag(0x0E20, kPtLong)};
    for (uint32_t r = 0; r < 4; ++r) {
        table.rows.push_back({r + 1,
                              {Prop::Int32(0x0E20, r), Prop::String8(0x3704, {'a', 'b'}),
                               Prop::Time(0x3007, r), Prop::Bool(0x7FFE, true)}});
    }
    const LtpNode node = ltp.TableContext(table, {.heapBlockLimit = 0, .recordsPerLeaf = 2});
    ASSERT_EQ(node.blocks.size(), 1u);
    EXPECT_EQ(ParseAll(node.blocks), 4u * 6);  // row id and version come with every row
    Damage(node.blocks);
}

}  // namespace
}  // namespace kestrel

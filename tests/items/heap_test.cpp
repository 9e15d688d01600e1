// Heap allocations and BTH walks over hand-made heap blocks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "item_fixtures.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

std::string Text(const HeapOnNode& heap, uint32_t hid) {
    const auto a = heap.Allocation(hid);
    if (!a) return "<none>";
    return std::string(a->data(), a->data() + a->size());
}

TEST(ResolveHeapAllocation, SelectsBlockAndIndexFromTheHid) {
    const std::vector<Bytes> blocks{HeapBlock(true, {Str("zero-one"), Str("zero-two")}),
                                    HeapBlock(false, {Str("one-one")}),
                                    HeapBlock(false, {Str("two-one"), Str(""), Str("two-3")})};
    const HeapOnNode heap(blocks);
    EXPECT_EQ(Text(heap, Hid(0, 1)), "zero-one");
    EXPECT_EQ(Text(heap, Hid(0, 2)), "zero-two");
    // Allocation 1 of a later block is that block's own, not the first block's.
    EXPECT_EQ(Text(heap, Hid(1, 1)), "one-one");
    EXPECT_EQ(Text(heap, Hid(2, 1)), "two-one");
    EXPECT_EQ(Text(heap, Hid(2, 2)), "");  // empty allocations resolve
    EXPECT_EQ(Text(heap, Hid(2, 3)), "two-3");

    const auto a = ResolveHeapAllocation(blocks, Hid(1, 1));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->blockIndex, 1u);
    EXPECT_EQ(a->start, 2u);
    EXPECT_EQ(a->end, 9u);
}

TEST(ResolveHeapAllocation, RefusesWhatDoesNotCheckOut) {
    const std::vector<Bytes> blocks{HeapBlock(true, {Str("abcd"), Str("efgh")}, Hid(0, 1))};
    for (uint32_t hid : {0u, Hid(0, 0), Hid(0, 3), Hid(1, 1), Hid(0, 1) | 1, Hid(0, 1) | 0x10}) {
        EXPECT_FALSE(ResolveHeapAllocation(blocks, hid)) << hid;  // 1 and 0x10: NIDs
    }
    for (const Bytes& b : {Bytes{}, Bytes{0x01}})
        EXPECT_FALSE(ResolveHeapAllocation({b}, Hid(0, 1)));
    EXPECT_FALSE(ResolveHeapAllocation({}, Hid(0, 1)));

    const size_t map = blocks[0][0] | (blocks[0][1] << 8);
    auto broken = [&](size_t at, uint16_t value) {
        Bytes b = blocks[0];
        Put16(b, at, value);
        return b;
    };
    // Page map past the block, an end offset past it, a start after the end.
    EXPECT_FALSE(ResolveHeapAllocation({broken(0, uint16_t(blocks[0].size()))}, Hid(0, 1)));
    EXPECT_FALSE(ResolveHeapAllocation({broken(map + 6, 0x7000)}, Hid(0, 1)));
    Bytes backwards = broken(map + 4, 20);
    Put16(backwards, map + 6, 19);
    EXPECT_FALSE(ResolveHeapAllocation({backwards}, Hid(0, 1)));
    // A page map cut off before the entry asked for.
    Bytes cut = blocks[0];
    cut.resize(map + 4 + 2 * 2 + 1);
    EXPECT_TRUE(ResolveHeapAllocation({cut}, Hid(0, 1)));
    EXPECT_FALSE(ResolveHeapAllocation({cut}, Hid(0, 2)));

    // The heap itself needs its signature and a whole header.
    const HeapOnNode heap(blocks);
    EXPECT_TRUE(heap.valid());
    EXPECT_EQ(heap.clientSignature(), kClientPropertyContext);
    EXPECT_EQ(heap.userRoot(), Hid(0, 1));
    EXPECT_FALSE(HeapOnNode({broken(2, 0xBCED)}).valid());
    EXPECT_FALSE(HeapOnNode({Bytes{0, 0, kHeapSignature, 0xBC, 0x20}}).valid());
    EXPECT_FALSE(HeapOnNode(std::vector<Bytes>{}).valid());
}

// Leaf records of 2-byte keys and 2-byte data: key k carries data k * 10.
Bytes Leaf(std::initializer_list<uint16_t> keys) {
    Bytes b;
    for (uint16_t k : keys) {
        Append16(b, k);
        Append16(b, static_cast<uint16_t>(k * 10));
    }
    return b;
}

std::vector<uint16_t> Keys(const HeapOnNode& heap, uint32_t headerHid = Hid(0, 1)) {
    std::vector<uint16_t> keys;
    const auto header = ReadBthHeader(heap, headerHid);
    if (!header) return {0xFFFF};
    WalkBth(heap, *header, [&](ByteReader key, ByteReader data) {
        EXPECT_EQ(*data.U16(0), *key.U16(0) * 10);
        keys.push_back(*key.U16(0));
        return true;
    });
    return keys;
}

TEST(Bth, HeaderWidthsAreChecked) {
    const HeapOnNode heap({HeapBlock(
        true, {BthHeaderBytes(2, 2, 0, 0), BthHeaderBytes(3, 2, 0, 0), BthHeaderBytes(2, 0, 0, 0),
               BthHeaderBytes(2, 33, 0, 0), BthHeaderBytes(2, 2, kMaxBthIndexLevels + 1, 0),
               Bytes{0xB4, 2, 2, 0, 0, 0, 0, 0}, Bytes{0xB5, 2, 2}})});
    EXPECT_TRUE(ReadBthHeader(heap, Hid(0, 1)));
    for (uint32_t i = 2; i <= 7; ++i) EXPECT_FALSE(ReadBthHeader(heap, Hid(0, i))) << i;
    EXPECT_EQ(Keys(heap), std::vector<uint16_t>{});  // hidRoot 0: empty tree
}

TEST(Bth, IndexLevelsAreFollowedAcrossHeapBlocks) {
    // Two index levels; the leaves sit in a second heap block.
    const HeapOnNode heap({HeapBlock(true, {BthHeaderBytes(2, 2, 2, Hid(0, 2)),
                                            IndexRecords({{1, Hid(0, 3)}, {5, Hid(0, 4)}}),
                                            IndexRecords({{1, Hid(1, 1)}, {3, Hid(1, 2)}}),
                                            IndexRecords({{5, Hid(1, 3)}})}),
                           HeapBlock(false, {Leaf({1, 2}), Leaf({3, 4}), Leaf({5, 6, 7})})});
    EXPECT_EQ(Keys(heap), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7}));
}

TEST(Bth, DamagedIndexesEnd) {
    // Level 3 names itself (already seen), the leaf at level 2 is read as an index whose
    // children do not resolve, so nothing comes out and nothing loops.
    const HeapOnNode heap({HeapBlock(
        true,
        {BthHeaderBytes(2, 2, 3, Hid(0, 2)),
         IndexRecords({{1, Hid(0, 2)}, {1, Hid(0, 3)}, {2, Hid(0, 3)}, {3, Hid(0, 9)}, {4, 0}}),
         Leaf({1, 2})})});
    EXPECT_EQ(Keys(heap), std::vector<uint16_t>{});
    // An index naming one leaf twice: the leaf is read once.
    const HeapOnNode twice(
        {HeapBlock(true, {BthHeaderBytes(2, 2, 1, Hid(0, 2)),
                          IndexRecords({{1, Hid(0, 3)}, {2, Hid(0, 3)}}), Leaf({4})})});
    EXPECT_EQ(Keys(twice), std::vector<uint16_t>{4});
}

}  // namespace
}  // namespace kestrel

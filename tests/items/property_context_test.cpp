// Property contexts over hand-made heaps: values dropped or kept without data, and
// headers of the wrong shape.
#include <gtest/gtest.h>

#include "item_fixtures.h"
#include "items/property_context.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

// A property context whose BTH root (allocation 2) holds records; further allocations
// follow from index 3 on.
std::vector<Bytes> PcHeap(std::initializer_list<PcRecord> records, std::vector<Bytes> more = {}) {
    std::vector<Bytes> allocations{BthHeaderBytes(2, 6, 0, Hid(0, 2)), PcRecords(records)};
    allocations.insert(allocations.end(), more.begin(), more.end());
    return {HeapBlock(true, allocations, Hid(0, 1))};
}

std::optional<PropertyGroup> Parse(PstContext& context, const std::vector<Bytes>& blocks) {
    const HeapOnNode heap(blocks);
    EXPECT_TRUE(heap.valid());
    ItemContext items(context);
    NodeValueReader reader(items, heap, nullptr, nullptr);
    return ParsePropertyContext(heap, reader);
}

TEST(PropertyContext, WhatCannotBeResolvedIsDroppedOrKeptWithoutData) {
    PstContext context;
    const auto group = Parse(context, PcHeap({{0x0001, 0x001F, 0},            // HNID 0
                                              {0x0002, 0x001F, Hid(0, 9)},    // no such item
                                              {0x0003, 0x0102, Hid(4, 1)},    // no such block
                                              {0x0004, 0x0001, 0x1234},       // unknown type
                                              {0x0005, 0x0102, 0x00008044},   // subnode NID
                                              {0x0006, 0x000D, Hid(0, 3)},    // object
                                              {0x0007, 0x0102, Hid(0, 4)},    // empty item
                                              {0x0008, 0x0102, 0x00000021}},  // NID type 1
                                             {Bytes{0x64, 0x80, 0, 0, 10, 0, 0, 0}, Bytes{}}));
    ASSERT_TRUE(group);
    ASSERT_EQ(group->values.size(), 5u);
    EXPECT_FALSE(Find(*group, 0x0001));
    EXPECT_FALSE(Find(*group, 0x0002));
    EXPECT_FALSE(Find(*group, 0x0003));

    const auto* unknown = Find(*group, 0x0004);
    EXPECT_FALSE(unknown->hasData());
    EXPECT_EQ(unknown->typeOrNid, 0x0001u);
    // A subnode that cannot be read keeps its NID for the caller.
    const auto* sub = Find(*group, 0x0005);
    EXPECT_FALSE(sub->hasData());
    EXPECT_EQ(sub->typeOrNid, 0x8044u);
    // An object's heap item names its subnode; unread, the NID is kept the same way.
    const auto* object = Find(*group, 0x0006);
    EXPECT_FALSE(object->hasData());
    EXPECT_EQ(object->typeOrNid, 0x8064u);
    // Any non-zero NID type names a subnode, not only a low nibble of 0xF.
    EXPECT_EQ(Find(*group, 0x0008)->typeOrNid, 0x21u);
    const auto* empty = Find(*group, 0x0007);
    ASSERT_TRUE(empty->hasData());
    EXPECT_EQ(empty->length(), 0u);
}

TEST(PropertyContext, HeaderOfTheWrongShapeGivesNothing) {
    PstContext context;
    EXPECT_TRUE(Parse(context, PcHeap({{0x0E07, 0x0003, 1}})));
    for (auto [cbKey, cbEnt] : {std::pair<uint8_t, uint8_t>{2, 8}, {4, 6}}) {
        const std::vector<Bytes> bad{HeapBlock(
            true, {BthHeaderBytes(cbKey, cbEnt, 0, Hid(0, 2)), PcRecords({{0x0E07, 0x0003, 1}})},
            Hid(0, 1))};
        EXPECT_FALSE(Parse(context, bad)) << int(cbKey) << " " << int(cbEnt);
    }
    // An empty BTH is an empty group, not a failure.
    const auto empty = Parse(context, {HeapBlock(true, {BthHeaderBytes(2, 6, 0, 0)}, Hid(0, 1))});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->values.empty());
}

}  // namespace
}  // namespace kestrel

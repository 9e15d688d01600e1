// Property contexts over hand-made heaps: inline and heap values, dropped and kept
// properties, named-property mapping, index levels and multi-block heaps.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "heap_blocks.h"
#include "items/named_property_map.h"
#include "items/node_value_reader.h"
#include "items/property_context.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

const PropertyValue* Find(const PropertyGroup& group, uint32_t id) {
    for (const auto& v : group.values) {
        if (v.propertyId == id) return &v;
    }
    return nullptr;
}

std::string AsText(const PropertyValue& v) {
    return v.data ? std::string(v.data->begin(), v.data->end()) : "<no data>";
}

uint32_t AsU32(const PropertyValue& v) {
    uint32_t x = 0;
    if (v.data && v.data->size() >= 4) std::memcpy(&x, v.data->data(), 4);
    return x;
}

// A property context whose BTH root (allocation 2) holds records; further allocations
// follow in the first block (from index 3 on) and in a second block.
std::vector<Bytes> PcHeap(std::initializer_list<PcRecord> records, std::vector<Bytes> more = {},
                          std::vector<Bytes> secondBlock = {}) {
    std::vector<Bytes> allocations{BthHeaderBytes(2, 6, 0, Hid(0, 2)), PcRecords(records)};
    allocations.insert(allocations.end(), more.begin(), more.end());
    std::vector<Bytes> blocks{HeapBlock(true, allocations, Hid(0, 1))};
    if (!secondBlock.empty()) blocks.push_back(HeapBlock(false, secondBlock));
    return blocks;
}

std::optional<PropertyGroup> Parse(PstContext& context, const std::vector<Bytes>& blocks) {
    const HeapOnNode heap(blocks);
    EXPECT_TRUE(heap.valid());
    NodeValueReader reader(context, heap, nullptr, nullptr);
    return ParsePropertyContext(heap, reader);
}

TEST(PropertyContext, InlineValuesAndHeapValues) {
    float f = 1.5f;
    uint32_t fbits;
    std::memcpy(&fbits, &f, 4);
    PstContext context;
    const auto group = Parse(
        context, PcHeap({{0x0E07, 0x0003, 0x12345678},
                         {0x0E08, 0x0004, fbits},       // float: inline, not an HNID
                         {0x0E09, 0x000A, 0x80004005},  // error code: inline too
                         {0x0E0A, 0x000B, 1},
                         {0x0E0B, 0x0002, 0xFFFF},
                         {0x0037, 0x001F, Hid(0, 3)},
                         {0x0039, 0x0040, Hid(0, 4)},
                         {0x1000, 0x001E, Hid(1, 1)}},  // a value in the second heap block
                        {Utf16(u"Hi"), Bytes{1, 2, 3, 4, 5, 6, 7, 8}}, {Str("second block")}));
    ASSERT_TRUE(group);
    EXPECT_EQ(group->groupCount, 1u);
    ASSERT_EQ(group->values.size(), 8u);
    EXPECT_EQ(group->values[0].propertyId, 0x0E07u);  // BTH order

    const auto* l = Find(*group, 0x0E07);
    EXPECT_EQ(l->length(), 4u);
    EXPECT_EQ(AsU32(*l), 0x12345678u);
    EXPECT_EQ(l->typeOrNid, 0x0003u);
    EXPECT_EQ(AsU32(*Find(*group, 0x0E08)), fbits);
    EXPECT_EQ(AsU32(*Find(*group, 0x0E09)), 0x80004005u);
    EXPECT_EQ(AsU32(*Find(*group, 0x0E0A)), 1u);
    EXPECT_EQ(Find(*group, 0x0E0B)->length(), 4u);

    const auto* subject = Find(*group, 0x0037);
    EXPECT_EQ(*subject->data, Utf16(u"Hi"));  // raw bytes, no closing zero counted
    EXPECT_EQ(subject->type, 0x001F);
    EXPECT_EQ(Find(*group, 0x0039)->length(), 8u);
    EXPECT_EQ(AsText(*Find(*group, 0x1000)), "second block");
}

TEST(PropertyContext, WhatCannotBeResolvedIsDroppedOrKeptWithoutData) {
    PstContext context;
    const auto group = Parse(context, PcHeap({{0x0001, 0x001F, 0},           // HNID 0
                                              {0x0002, 0x001F, Hid(0, 9)},   // no such item
                                              {0x0003, 0x0102, Hid(4, 1)},   // no such block
                                              {0x0004, 0x0001, 0x1234},      // unknown type
                                              {0x0005, 0x0102, 0x00008044},  // subnode NID
                                              {0x0006, 0x000D, Hid(0, 3)},   // object
                                              {0x0007, 0x0102, Hid(0, 4)}},  // empty item
                                             {Bytes{0x64, 0x80, 0, 0, 10, 0, 0, 0}, Bytes{}}));
    ASSERT_TRUE(group);
    ASSERT_EQ(group->values.size(), 4u);
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
    const auto* empty = Find(*group, 0x0007);
    ASSERT_TRUE(empty->hasData());
    EXPECT_EQ(empty->length(), 0u);
}

TEST(PropertyContext, SubnodeNidsAreToldByTheirNidType) {
    // 0x...21 and 0x...04 have a non-zero NID type and name subnodes; the old "low four bits
    // all set" test would read them as HIDs into the heap.
    PstContext context;
    const auto group = Parse(context, PcHeap({{0x0001, 0x0102, 0x00000021},
                                              {0x0002, 0x0102, 0x00000064},
                                              {0x0003, 0x0102, Hid(0, 3)}},
                                             {Str("heap")}));
    ASSERT_TRUE(group);
    ASSERT_EQ(group->values.size(), 3u);
    EXPECT_EQ(Find(*group, 0x0001)->typeOrNid, 0x21u);
    EXPECT_EQ(Find(*group, 0x0002)->typeOrNid, 0x64u);
    EXPECT_EQ(AsText(*Find(*group, 0x0003)), "heap");
}

TEST(PropertyContext, NamedPropertiesAreMapped) {
    PstContext context;
    auto map = std::make_shared<NamedPropertyMap>();
    map->Insert(
        {.guidWord = 2, .kind = 1, .fileId = 0x8005, .numericName = 0x8208, .stringName = {}});
    map->Insert(
        {.guidWord = 6, .kind = 1, .fileId = 0x8001, .numericName = 0x001A, .stringName = {}});
    map->Insert({.guidWord = 7, .kind = 2, .fileId = 0x8002, .stringName = "Keywords"});
    context.namedProps = map;
    const auto group = Parse(context, PcHeap({{0x001A, 0x0003, 7},
                                              {0x8001, 0x0003, 1},
                                              {0x8002, 0x0003, 2},
                                              {0x8003, 0x0003, 3},
                                              {0x8005, 0x0003, 5}}));
    ASSERT_TRUE(group);
    ASSERT_EQ(group->values.size(), 5u);
    EXPECT_EQ(group->values[0].propertyId, 0x001Au);
    // A LID below 0x8000 would overwrite the message class (0x001A): the id stays.
    EXPECT_EQ(group->values[1].propertyId, 0x8001u);
    EXPECT_EQ(group->values[2].propertyId, 2u);
    EXPECT_EQ(group->values[2].name, "Keywords");
    EXPECT_EQ(group->values[3].propertyId, 0x8003u);  // not in the map
    EXPECT_EQ(group->values[4].propertyId, 0x8208u);
    EXPECT_EQ(AsU32(group->values[4]), 5u);
}

TEST(PropertyContext, RecordsBehindIndexLevelsAreRead) {
    PstContext context;
    const std::vector<Bytes> blocks{
        HeapBlock(true,
                  {BthHeaderBytes(2, 6, 1, Hid(0, 2)),
                   IndexRecords({{0x0E07, Hid(1, 1)}, {0x3001, Hid(1, 2)}})},
                  Hid(0, 1)),
        HeapBlock(false, {PcRecords({{0x0E07, 0x0003, 1}, {0x0E08, 0x0003, 2}}),
                          PcRecords({{0x3001, 0x001F, Hid(1, 3)}}), Utf16(u"Name")})};
    const auto group = Parse(context, blocks);
    ASSERT_TRUE(group);
    ASSERT_EQ(group->values.size(), 3u);
    EXPECT_EQ(*Find(*group, 0x3001)->data, Utf16(u"Name"));
}

TEST(PropertyContext, HeaderOfTheWrongShapeGivesNothing) {
    PstContext context;
    auto blocks = PcHeap({{0x0E07, 0x0003, 1}});
    EXPECT_TRUE(Parse(context, blocks));
    for (auto [cbKey, cbEnt] : {std::pair{2, 8}, std::pair{4, 6}}) {
        std::vector<Bytes> bad{HeapBlock(
            true,
            {BthHeaderBytes(static_cast<uint8_t>(cbKey), static_cast<uint8_t>(cbEnt), 0, Hid(0, 2)),
             PcRecords({{0x0E07, 0x0003, 1}})},
            Hid(0, 1))};
        EXPECT_FALSE(Parse(context, bad)) << cbKey << " " << cbEnt;
    }
    // An empty BTH is an empty group, not a failure.
    const auto empty = Parse(context, {HeapBlock(true, {BthHeaderBytes(2, 6, 0, 0)}, Hid(0, 1))});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->values.empty());
}

TEST(PropertyContext, StopFlagGivesNothing) {
    std::atomic<uint32_t> stop{1};
    PstContext context;
    context.stopFlag = &stop;
    EXPECT_FALSE(Parse(context, PcHeap({{0x0E07, 0x0003, 1}})));
}

}  // namespace
}  // namespace kestrel

// Node properties read from built files: heaps over several blocks, BTH index levels,
// values and row matrices in subnodes, subnode lookup order, in both file variants.
#include "items/property_parser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "storage/btree_loader.h"
#include "support/ltp_builder.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNode = MakeNid(kNidTypeNormalMessage, 0x200);

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13);
    return bytes;
}

const PropertyValue* Find(const PropertyGroup& group, uint32_t id) {
    for (const auto& v : group.values) {
        if (v.propertyId == id) return &v;
    }
    return nullptr;
}

uint64_t AsUInt(const PropertyValue& v) {
    uint64_t x = 0;
    if (v.data) std::memcpy(&x, v.data->data(), std::min<size_t>(8, v.data->size()));
    return x;
}

class PropertyFile : public ::testing::TestWithParam<PstVariant> {
  protected:
    PropertyFile() : pst(GetParam()), ltp(GetParam()) {}

    void Add(uint32_t nid, const LtpNode& node) {
        const StoredNode stored = StoreNode(pst, node);
        pst.AddNode(nid, stored.bidData, stored.bidSub);
    }
    void Open() {
        Add(0x21, ltp.PropertyContext({Prop::Int32(0x0E08, 0)}));  // the store: loading needs it
        ASSERT_EQ(OpenPstImage(context, pst.Build()), 0);
        ASSERT_EQ(LoadIndexes(context), 0);
    }
    const NodeRecord* Node(uint32_t nid) { return FindNode(context, nid); }
    SubnodeList Subnodes(uint32_t nid) {
        const NodeRecord* node = Node(nid);
        return node && node->subnodeBlock ? BuildSubnodeList(context, node->subnodeBlock)
                                          : SubnodeList{};
    }
    PropertyGroupList Parse(uint32_t nid = kNode) {
        const NodeRecord* node = Node(nid);
        EXPECT_TRUE(node);
        if (!node) return {};
        const SubnodeList subnodes = Subnodes(nid);
        return ParseNodeProperties(context, node->dataBlock, &subnodes);
    }

    PstBuilder pst;
    LtpBuilder ltp;
    PstContext context;
};

TEST_P(PropertyFile, ValuesInline_InTheHeap_AndInSubnodes) {
    const Bytes big = Pattern(20000, 5);  // a subnode whose data is a data tree
    Add(kNode,
        ltp.PropertyContext(
            {Prop::Int32(0x0E08, 1234), Prop::Bool(0x0E1B, true),
             Prop::Raw(0x0E0C, kPtFloat, {0x00, 0x00, 0xC0, 0x3F}),
             Prop::Raw(0x0E0D, kPtError, {0x05, 0x40, 0x00, 0x80}),
             Prop::Unicode(0x0037, "Ελληνικά"), Prop::Time(0x0E06, FileTime(2020, 2, 29, 12)),
             Prop::Binary(0x1000, Pattern(40, 1)).InSubnode(), Prop::Binary(0x1009, big)}));
    Open();
    const auto groups = Parse();
    ASSERT_EQ(groups.size(), 1u);
    const PropertyGroup& g = groups[0];
    EXPECT_EQ(g.groupCount, 1u);
    EXPECT_EQ(g.values.size(), 8u);
    EXPECT_EQ(AsUInt(*Find(g, 0x0E08)), 1234u);
    // A float and an error code sit in the value word like a long; they name no HNID.
    EXPECT_EQ(AsUInt(*Find(g, 0x0E0C)), 0x3FC00000u);
    EXPECT_EQ(AsUInt(*Find(g, 0x0E0D)), 0x80004005u);
    EXPECT_EQ(Find(g, 0x0E1B)->length(), 4u);
    EXPECT_EQ(*Find(g, 0x0037)->data, Utf16("Ελληνικά"));
    EXPECT_EQ(AsUInt(*Find(g, 0x0E06)), FileTime(2020, 2, 29, 12));
    EXPECT_EQ(*Find(g, 0x1000)->data, Pattern(40, 1));
    EXPECT_EQ(*Find(g, 0x1009)->data, big);
    EXPECT_EQ(Find(g, 0x1009)->typeOrNid, kPtBinary);
}

TEST_P(PropertyFile, HeapSpreadOverManyBlocks) {
    // Small heap blocks: most values live beyond the first block.
    std::vector<Prop> props;
    for (uint16_t i = 0; i < 60; ++i) {
        props.push_back(
            Prop::Unicode(static_cast<uint16_t>(0x3000 + i), "value " + std::to_string(i)));
    }
    const LtpNode node = ltp.PropertyContext(props, {.heapBlockLimit = 256, .recordsPerLeaf = 0});
    ASSERT_GT(node.blocks.size(), 4u);
    Add(kNode, node);
    Open();
    const auto groups = Parse();
    ASSERT_EQ(groups.size(), 1u);
    ASSERT_EQ(groups[0].values.size(), 60u);
    for (uint16_t i = 0; i < 60; ++i) {
        const auto* v = Find(groups[0], 0x3000u + i);
        ASSERT_TRUE(v) << i;
        EXPECT_EQ(NarrowUtf16(v->data->data(), v->length()), "value " + std::to_string(i));
    }
}

TEST_P(PropertyFile, BthWithIndexLevels) {
    std::vector<Prop> props;
    for (uint16_t i = 0; i < 40; ++i)
        props.push_back(Prop::Int32(static_cast<uint16_t>(0x4000 + i), i));
    Add(kNode, ltp.PropertyContext(props, {.heapBlockLimit = 0, .recordsPerLeaf = 3}));
    Open();
    const auto groups = Parse();
    ASSERT_EQ(groups.size(), 1u);
    ASSERT_EQ(groups[0].values.size(), 40u);
    for (uint16_t i = 0; i < 40; ++i) {
        EXPECT_EQ(groups[0].values[i].propertyId, 0x4000u + i);  // key order
        EXPECT_EQ(AsUInt(groups[0].values[i]), i);
    }
}

TEST_P(PropertyFile, SubnodesAreLookedUpInTheOwnListThenTheFallback) {
    // Two contexts whose values sit in a subnode with the same NID.
    LtpBuilder first(GetParam()), second(GetParam());
    LtpNode a = first.PropertyContext({Prop::Binary(0x3701, Pattern(30, 1)).InSubnode()});
    LtpNode b = second.PropertyContext({Prop::Binary(0x3701, Pattern(30, 2)).InSubnode()});
    ASSERT_EQ(a.subnodes[0].nid, b.subnodes[0].nid);
    Add(kNode, a);
    Add(kNode + 32, b);
    Open();
    const SubnodeList own = Subnodes(kNode);
    const SubnodeList other = Subnodes(kNode + 32);
    const BlockRecord* data = Node(kNode)->dataBlock;

    auto value = [&](const SubnodeList* subnodes, const SubnodeList* fallback) -> Bytes {
        const auto groups = ParseNodeProperties(context, data, subnodes, fallback);
        if (groups.empty() || !Find(groups[0], 0x3701)) return {0xEE};
        const auto* v = Find(groups[0], 0x3701);
        return v->data ? *v->data : Bytes{};
    };
    EXPECT_EQ(value(&own, &other), Pattern(30, 1));
    EXPECT_EQ(value(&other, &own), Pattern(30, 2));
    EXPECT_EQ(value(nullptr, &own), Pattern(30, 1));
    const SubnodeList none;
    EXPECT_EQ(value(&none, &other), Pattern(30, 2));
    // Found nowhere: kept without data, with the NID for the caller.
    const auto groups = ParseNodeProperties(context, data, &none, nullptr);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_FALSE(groups[0].values[0].hasData());
    EXPECT_EQ(groups[0].values[0].typeOrNid, a.subnodes[0].nid);
}

Table AttachmentLikeTable(size_t rows) {
    Table table;
    table.columns = {MakeTag(0x3704, kPtUnicode), MakeTag(0x0E20, kPtLong)};
    for (uint32_t r = 0; r < rows; ++r) {
        std::vector<Prop> cells{
            Prop::Int32(0x0E20, 1000 + r), Prop::Time(0x3007, FileTime(2001, 1, 1) + r),
            Prop::Int16(0x3705, static_cast<uint16_t>(r)), Prop::Bool(0x7FFE, r % 2 == 0)};
        // Every third row has no name: that cell is absent.
        if (r % 3 != 1) cells.push_back(Prop::Unicode(0x3704, "file " + std::to_string(r)));
        table.rows.push_back({MakeNid(kNidTypeAttachment, r + 1), cells});
    }
    return table;
}

void ExpectRows(const PropertyGroupList& groups, size_t rows) {
    ASSERT_EQ(groups.size(), rows);
    for (size_t i = 0; i < rows; ++i) {
        const PropertyGroup& g = groups[rows - 1 - i];  // last row first
        const uint32_t r = static_cast<uint32_t>(i);
        EXPECT_EQ(g.groupCount, rows);
        ASSERT_TRUE(Find(g, 0x67F2)) << r;
        EXPECT_EQ(AsUInt(*Find(g, 0x67F2)), MakeNid(kNidTypeAttachment, r + 1));
        EXPECT_EQ(AsUInt(*Find(g, 0x0E20)), 1000u + r);
        EXPECT_EQ(Find(g, 0x3007)->length(), 8u);
        EXPECT_EQ(AsUInt(*Find(g, 0x3007)), FileTime(2001, 1, 1) + r);
        EXPECT_EQ(Find(g, 0x3705)->length(), 2u);
        EXPECT_EQ(AsUInt(*Find(g, 0x3705)), r);
        EXPECT_EQ(*Find(g, 0x7FFE)->data, Bytes{static_cast<uint8_t>(r % 2 == 0)});
        const auto* name = Find(g, 0x3704);
        if (r % 3 == 1) {
            EXPECT_FALSE(name) << r;
        } else {
            ASSERT_TRUE(name) << r;
            EXPECT_EQ(*name->data, Utf16("file " + std::to_string(r)));
        }
    }
}

TEST_P(PropertyFile, TableRowsInTheHeap) {
    Add(kNode, ltp.TableContext(AttachmentLikeTable(7)));
    Open();
    ExpectRows(Parse(), 7);
}

TEST_P(PropertyFile, TableRowsInASubnodeOverSeveralBlocks) {
    Table table = AttachmentLikeTable(11);
    table.rowsInSubnode = true;
    table.rowsPerBlock = 3;
    LtpNode node = ltp.TableContext(table, {.heapBlockLimit = 0, .recordsPerLeaf = 4});
    // Each block but the last ends in a tail too short for a row: the next block still
    // starts with a fresh row.
    ASSERT_EQ(node.subnodes.size(), 1u);
    auto& blocks = node.subnodes[0].node.blocks;
    ASSERT_EQ(blocks.size(), 4u);
    for (size_t i = 0; i + 1 < blocks.size(); ++i) blocks[i].resize(blocks[i].size() + 5, 0xAB);
    Add(kNode, node);
    Open();
    ExpectRows(Parse(), 11);
}

TEST_P(PropertyFile, NodesThatAreNotContextsGiveNothing) {
    const uint64_t notHeap = pst.AddBlock({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    pst.AddNode(kNode, notHeap);
    LtpNode other = ltp.PropertyContext({Prop::Int32(0x0E08, 1)});
    other.blocks[0][3] = 0xB5;  // a client signature the parser does not know
    Add(kNode + 32, other);
    Add(kNode + 64, ltp.PropertyContext({Prop::Int32(0x0E08, 1)}));
    Open();
    EXPECT_TRUE(Parse(kNode).empty());
    EXPECT_TRUE(Parse(kNode + 32).empty());
    EXPECT_EQ(Parse(kNode + 64).size(), 1u);
    EXPECT_TRUE(ParseNodeProperties(context, nullptr, nullptr).empty());

    std::atomic<uint32_t> stop{1};
    context.stopFlag = &stop;
    EXPECT_TRUE(Parse(kNode + 64).empty());
}

INSTANTIATE_TEST_SUITE_P(Variants, PropertyFile,
                         ::testing::Values(PstVariant::Unicode, PstVariant::Ansi),
                         [](const auto& info) {
                             return info.param == PstVariant::Unicode ? "Unicode" : "Ansi";
                         });

}  // namespace
}  // namespace kestrel

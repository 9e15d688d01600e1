// Node properties read from built files: heaps over several blocks, BTH index levels,
// values and row matrices in subnodes, subnode lookup order, in both file variants.
#include "items/property_parser.h"
#include "items/utf16.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "item_fixtures.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

constexpr uint32_t kNode = MakeNid(kNidTypeNormalMessage, 0x200);

class PropertyFile : public LayoutTest {
  protected:
    BuiltFile file{GetParam()};
    LtpBuilder& ltp = file.ltp;
};
KESTREL_BOTH_LAYOUTS(PropertyFile);

TEST_P(PropertyFile, ValuesInline_InTheHeap_AndInSubnodes) {
    const Bytes big = Pattern(20000, 5);  // a subnode whose data is a data tree
    file.Add(kNode,
             ltp.PropertyContext(
                 {Prop::Int32(0x0E08, 1234), Prop::Bool(0x0E1B, true),
                  Prop::Raw(0x0E0C, kPtFloat, {0x00, 0x00, 0xC0, 0x3F}),
                  Prop::Raw(0x0E0D, kPtError, {0x05, 0x40, 0x00, 0x80}),
                  Prop::Unicode(0x0037, "Ελληνικά"), Prop::Time(0x0E06, FileTime(2020, 2, 29, 12)),
                  Prop::Binary(0x1000, Pattern(40, 1)).InSubnode(), Prop::Binary(0x1009, big)}));
    file.Open();
    const auto groups = file.Parse(kNode);
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

TEST_P(PropertyFile, HeapOverManyBlocksWithIndexLevels) {
    // Small heap blocks put most values beyond the first block; three records a leaf
    // give the BTH index levels.
    std::vector<Prop> props;
    for (uint16_t i = 0; i < 60; ++i) {
        props.push_back(
            Prop::Unicode(static_cast<uint16_t>(0x3000 + i), "value " + std::to_string(i)));
    }
    const LtpNode node = ltp.PropertyContext(props, {.heapBlockLimit = 256, .recordsPerLeaf = 3});
    ASSERT_GT(node.blocks.size(), 4u);
    file.Add(kNode, node);
    file.Open();
    const auto groups = file.Parse(kNode);
    ASSERT_EQ(groups.size(), 1u);
    ASSERT_EQ(groups[0].values.size(), 60u);
    for (uint16_t i = 0; i < 60; ++i) {
        const PropertyValue& v = groups[0].values[i];
        EXPECT_EQ(v.propertyId, 0x3000u + i);  // key order
        EXPECT_EQ(NarrowUtf16(v.data->data(), v.length()), "value " + std::to_string(i));
    }
}

TEST_P(PropertyFile, SubnodesAreLookedUpInTheOwnListThenTheFallback) {
    // Two contexts whose values sit in a subnode with the same NID.
    LtpBuilder first(GetParam()), second(GetParam());
    LtpNode a = first.PropertyContext({Prop::Binary(0x3701, Pattern(30, 1)).InSubnode()});
    LtpNode b = second.PropertyContext({Prop::Binary(0x3701, Pattern(30, 2)).InSubnode()});
    ASSERT_EQ(a.subnodes[0].nid, b.subnodes[0].nid);
    file.Add(kNode, a);
    file.Add(kNode + 32, b);
    file.Open();
    const SubnodeList own = file.Subnodes(kNode), other = file.Subnodes(kNode + 32), none;
    const BlockRecord* data = file.Node(kNode)->dataBlock;

    auto value = [&](const SubnodeList* subnodes, const SubnodeList* fallback) -> Bytes {
        const auto groups = ParseNodeProperties(file.items, data, subnodes, fallback);
        if (groups.empty() || !Find(groups[0], 0x3701)) return {0xEE};
        const auto* v = Find(groups[0], 0x3701);
        return v->data ? *v->data : Bytes{};
    };
    EXPECT_EQ(value(&own, &other), Pattern(30, 1));
    EXPECT_EQ(value(&other, &own), Pattern(30, 2));
    EXPECT_EQ(value(nullptr, &own), Pattern(30, 1));
    EXPECT_EQ(value(&none, &other), Pattern(30, 2));
    // Found nowhere: kept without data, with the NID for the caller.
    const auto groups = ParseNodeProperties(file.items, data, &none, nullptr);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_FALSE(groups[0].values[0].hasData());
    EXPECT_EQ(groups[0].values[0].typeOrNid, a.subnodes[0].nid);
}

// Rows in a subnode over several blocks, each holding whole rows. Every block but the last
// ends in a tail too short for a row: the next block still starts with a fresh row.
TEST_P(PropertyFile, TableRowsInASubnodeOverSeveralBlocks) {
    Table table;
    table.columns = {MakeTag(0x3704, kPtUnicode), MakeTag(0x0E20, kPtLong)};
    table.rowsInSubnode = true;
    table.rowsPerBlock = 3;
    constexpr uint32_t kRows = 11;
    for (uint32_t r = 0; r < kRows; ++r) {
        std::vector<Prop> cells{
            Prop::Int32(0x0E20, 1000 + r), Prop::Time(0x3007, FileTime(2001, 1, 1) + r),
            Prop::Int16(0x3705, static_cast<uint16_t>(r)), Prop::Bool(0x7FFE, r % 2 == 0)};
        // Every third row has no name: that cell is absent.
        if (r % 3 != 1) cells.push_back(Prop::Unicode(0x3704, "file " + std::to_string(r)));
        table.rows.push_back({MakeNid(kNidTypeAttachment, r + 1), cells});
    }
    LtpNode node = ltp.TableContext(table, {.heapBlockLimit = 0, .recordsPerLeaf = 4});
    ASSERT_EQ(node.subnodes.size(), 1u);
    auto& blocks = node.subnodes[0].node.blocks;
    ASSERT_EQ(blocks.size(), 4u);
    for (size_t i = 0; i + 1 < blocks.size(); ++i) blocks[i].resize(blocks[i].size() + 5, 0xAB);
    file.Add(kNode, node);
    file.Open();

    const auto groups = file.Parse(kNode);
    ASSERT_EQ(groups.size(), kRows);
    for (uint32_t r = 0; r < kRows; ++r) {
        SCOPED_TRACE(r);
        const PropertyGroup& g = groups[kRows - 1 - r];  // last row first
        EXPECT_EQ(g.groupCount, kRows);
        ASSERT_TRUE(Find(g, 0x67F2));
        EXPECT_EQ(AsUInt(*Find(g, 0x67F2)), MakeNid(kNidTypeAttachment, r + 1));
        EXPECT_EQ(AsUInt(*Find(g, 0x0E20)), 1000u + r);
        EXPECT_EQ(Find(g, 0x3007)->length(), 8u);
        EXPECT_EQ(AsUInt(*Find(g, 0x3007)), FileTime(2001, 1, 1) + r);
        EXPECT_EQ(Find(g, 0x3705)->length(), 2u);
        EXPECT_EQ(AsUInt(*Find(g, 0x3705)), r);
        EXPECT_EQ(*Find(g, 0x7FFE)->data, Bytes{static_cast<uint8_t>(r % 2 == 0)});
        const auto* name = Find(g, 0x3704);
        ASSERT_EQ(name != nullptr, r % 3 != 1);
        if (name) {
            EXPECT_EQ(*name->data, Utf16("file " + std::to_string(r)));
        }
    }
}

TEST_P(PropertyFile, NodesThatAreNotContextsGiveNothing) {
    file.pst.AddNode(kNode, file.pst.AddBlock({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    LtpNode other = ltp.PropertyContext({Prop::Int32(0x0E08, 1)});
    other.blocks[0][3] = 0xB5;  // a client signature the parser does not know
    file.Add(kNode + 32, other);
    file.Add(kNode + 64, ltp.PropertyContext({Prop::Int32(0x0E08, 1)}));
    file.Open();
    EXPECT_TRUE(file.Parse(kNode).empty());
    EXPECT_TRUE(file.Parse(kNode + 32).empty());
    EXPECT_EQ(file.Parse(kNode + 64).size(), 1u);
    EXPECT_TRUE(ParseNodeProperties(file.items, nullptr, nullptr).empty());

    std::atomic<uint32_t> stop{1};
    file.context.stopFlag = &stop;
    EXPECT_TRUE(file.Parse(kNode + 64).empty());
}

}  // namespace
}  // namespace kestrel

// Table contexts over hand-made heaps: fixed-size cells held in the row, HNID cells, the
// cell-existence bitmap, row counts and the order of the groups.
#include <gtest/gtest.h>

#include "item_fixtures.h"
#include "items/table_context.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

// Row layout: row id 0, size 4, time 8 (8 bytes), name HNID 16, float 20, data HNID 24,
// short 28, bool 30, bitmap 31; 32 bytes a row.
constexpr size_t kRowSize = 32;
const std::initializer_list<uint16_t> kRgib{28, 30, 31, 32};
const std::initializer_list<Column> kColumns{
    {0x67F20003, 0, 4, 0},  {0x0E200003, 4, 4, 1},  {0x30070040, 8, 8, 2},  {0x3704001F, 16, 4, 3},
    {0x0E080004, 20, 4, 4}, {0x37010102, 24, 4, 5}, {0x37050002, 28, 2, 6}, {0x7FFE000B, 30, 1, 7}};

struct RowCells {
    uint32_t id;
    uint32_t size;
    uint32_t nameHnid;
    uint32_t dataHnid;
    uint8_t bitmap = 0xFF;
};

Bytes Rows(std::initializer_list<RowCells> rows) {
    Bytes b;
    for (const auto& r : rows) {
        Bytes row(kRowSize, 0);
        Put32(row, 0, r.id);
        Put32(row, 4, r.size);
        for (int i = 0; i < 8; ++i) row[8 + i] = static_cast<uint8_t>(r.id * 16 + i);
        Put32(row, 16, r.nameHnid);
        Put32(row, 20, 0x3FC00000);  // 1.5f
        Put32(row, 24, r.dataHnid);
        Put16(row, 28, static_cast<uint16_t>(0x1230 + r.id));
        row[30] = 1;
        row[31] = r.bitmap;
        b.insert(b.end(), row.begin(), row.end());
    }
    return b;
}

PropertyGroupList Parse(PstContext& context, const std::vector<Bytes>& blocks) {
    const HeapOnNode heap(blocks);
    EXPECT_TRUE(heap.valid());
    ItemContext items(context);
    NodeValueReader reader(items, heap, nullptr, nullptr);
    return ParseTableContext(heap, reader);
}

// TCINFO 1, row-index header 2, row index 3, rows 4, then the extra allocations from 5.
std::vector<Bytes> TableHeap(uint32_t indexedRows, const Bytes& rows,
                             std::vector<Bytes> extra = {}) {
    std::vector<Bytes> allocations{TcInfo(kRgib, Hid(0, 2), Hid(0, 4), kColumns),
                                   BthHeaderBytes(4, 4, 0, Hid(0, 3)), RowIndexRecords(indexedRows),
                                   rows};
    allocations.insert(allocations.end(), extra.begin(), extra.end());
    return {HeapBlock(true, allocations, Hid(0, 1), kClientTableContext)};
}

TEST(TableContext, RowsComeOutLastFirstWithCellsFromTheRowAndTheHeap) {
    PstContext context;
    const auto groups =
        Parse(context, TableHeap(3,
                                 Rows({{1, 100, Hid(0, 5), Hid(0, 6)},
                                       // the name cell is absent: its garbage must not be read
                                       {2, 200, Hid(0, 7), Hid(0, 6), 0xEF},
                                       {3, 300, Hid(0, 7), 0}}),  // HNID 0: the data is dropped
                                 {Utf16("a.txt"), Str("bin0"), Utf16("c.txt")}));
    ASSERT_EQ(groups.size(), 3u);
    for (const auto& g : groups) EXPECT_EQ(g.groupCount, 3u);
    EXPECT_EQ(AsUInt(*Find(groups[0], 0x67F2)), 3u);
    EXPECT_EQ(AsUInt(*Find(groups[2], 0x67F2)), 1u);

    const PropertyGroup& first = groups[2];
    ASSERT_EQ(first.values.size(), 8u);
    EXPECT_EQ(AsUInt(*Find(first, 0x0E20)), 100u);
    // An 8-byte time is held in the row itself, not named by an HNID.
    const auto* time = Find(first, 0x3007);
    ASSERT_EQ(time->length(), 8u);
    EXPECT_EQ((*time->data)[0], 0x10);
    EXPECT_EQ((*time->data)[7], 0x17);
    EXPECT_EQ(*Find(first, 0x3704)->data, Utf16("a.txt"));
    EXPECT_EQ(AsUInt(*Find(first, 0x0E08)), 0x3FC00000u);
    EXPECT_EQ(*Find(first, 0x3701)->data, Str("bin0"));
    EXPECT_EQ(*Find(first, 0x3705)->data, (Bytes{0x31, 0x12}));  // cbData bytes
    EXPECT_EQ(*Find(first, 0x7FFE)->data, Bytes{1});

    EXPECT_EQ(groups[1].values.size(), 7u);
    EXPECT_FALSE(Find(groups[1], 0x3704));
    EXPECT_EQ(groups[0].values.size(), 7u);
    EXPECT_FALSE(Find(groups[0], 0x3701));
    EXPECT_EQ(*Find(groups[0], 0x3704)->data, Utf16("c.txt"));
}

TEST(TableContext, NeverMoreRowsThanTheMatrixHolds) {
    PstContext context;
    // The index claims 5 rows; the matrix holds 2 and a half.
    Bytes rows = Rows({{1, 1, 0, 0}, {2, 2, 0, 0}});
    rows.resize(rows.size() + kRowSize / 2, 0xFF);
    const auto groups = Parse(context, TableHeap(5, rows));
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].groupCount, 2u);
    EXPECT_EQ(AsUInt(*Find(groups[0], 0x67F2)), 2u);
    // Fewer indexed rows than the matrix holds: the index wins.
    EXPECT_EQ(Parse(context, TableHeap(1, rows)).size(), 1u);
}

TEST(TableContext, CellsOutsideTheRowOrTheBitmapAreAbsent) {
    PstContext context;
    const std::initializer_list<Column> columns{
        {0x67F20003, 0, 4, 0},
        {0x0E200003, 30, 4, 1},   // runs past the 32-byte row
        {0x0E210003, 4, 4, 8},    // bit 8: past the one-byte bitmap
        {0x0E220014, 8, 9, 2},    // 9 bytes is no fixed size
        {0x3704001F, 29, 4, 3}};  // an HNID cell past the row
    const auto groups = Parse(context, {HeapBlock(true,
                                                  {TcInfo(kRgib, Hid(0, 2), Hid(0, 4), columns),
                                                   BthHeaderBytes(4, 4, 0, Hid(0, 3)),
                                                   RowIndexRecords(1), Rows({{7, 1, 0, 0}})},
                                                  Hid(0, 1), kClientTableContext)});
    ASSERT_EQ(groups.size(), 1u);
    ASSERT_EQ(groups[0].values.size(), 1u);
    EXPECT_EQ(groups[0].values[0].propertyId, 0x67F2u);
}

TEST(TableContext, TablesThatDoNotCheckOutGiveNoGroups) {
    PstContext context;
    const Bytes rows = Rows({{1, 1, 0, 0}});
    auto heap = [&](Bytes info, Bytes indexHeader) {
        return std::vector<Bytes>{
            HeapBlock(true, {std::move(info), std::move(indexHeader), RowIndexRecords(1), rows},
                      Hid(0, 1), kClientTableContext)};
    };
    const Bytes goodInfo = TcInfo(kRgib, Hid(0, 2), Hid(0, 4), kColumns);
    const Bytes goodIndex = BthHeaderBytes(4, 4, 0, Hid(0, 3));
    EXPECT_EQ(Parse(context, heap(goodInfo, goodIndex)).size(), 1u);

    Bytes badType = goodInfo;
    badType[0] = 0x7D;
    EXPECT_TRUE(Parse(context, heap(badType, goodIndex)).empty());
    EXPECT_TRUE(Parse(context, heap(TcInfo({28, 30, 31, 0}, Hid(0, 2), Hid(0, 4), kColumns),
                                    goodIndex))
                    .empty());  // row size 0
    EXPECT_TRUE(Parse(context, heap(TcInfo(kRgib, Hid(0, 2), 0, kColumns), goodIndex)).empty());
    EXPECT_TRUE(Parse(context, heap(goodInfo, BthHeaderBytes(4, 4, 0, 0))).empty());
    EXPECT_TRUE(Parse(context, heap(goodInfo, BthHeaderBytes(2, 4, 0, Hid(0, 3)))).empty());
    // Column descriptors cut off by the end of TCINFO: only the whole ones count.
    Bytes cut = goodInfo;
    cut.resize(cut.size() - 4);
    const auto groups = Parse(context, heap(cut, goodIndex));
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_TRUE(Find(groups[0], 0x3705));
    EXPECT_FALSE(Find(groups[0], 0x7FFE));

    std::atomic<uint32_t> stop{1};
    context.stopFlag = &stop;
    EXPECT_TRUE(Parse(context, heap(goodInfo, goodIndex)).empty());
}

}  // namespace
}  // namespace kestrel

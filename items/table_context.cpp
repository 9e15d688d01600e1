#include "items/table_context.h"

#include <algorithm>

#include "items/bth.h"

namespace kestrel {

namespace {

// TCINFO: bType, cCols, rgib[4] (the row's group ends: 8-, 4-, 2-/1-byte cells, bitmap),
// hidRowIndex, hnidRows, hidIndex; then cCols column descriptors.
struct TableContextHeader {
    uint8_t type = 0;  // bType: the table context's client signature
    uint8_t columnCount = 0;
    uint16_t groupEnds[4] = {};
    uint32_t hidRowIndex = 0;
    uint32_t hnidRows = 0;
};
constexpr size_t kTcInfoSize = 22;
constexpr size_t kTcColumnCountAt = 1;
constexpr size_t kTcGroupEndsAt = 2;
constexpr size_t kTcRowIndexAt = 10;
constexpr size_t kTcRowsAt = 14;
// rgib entries: TCI_1b ends the 1-byte cells and starts the bitmap, TCI_bm ends the row.
constexpr size_t kTci1b = 2;
constexpr size_t kTciBm = 3;

std::optional<TableContextHeader> ReadTableContextHeader(const ByteReader& info) {
    if (!info.Has(0, kTcInfoSize)) return std::nullopt;
    TableContextHeader header;
    header.type = *info.U8(0);
    header.columnCount = *info.U8(kTcColumnCountAt);
    for (size_t i = 0; i < 4; ++i) header.groupEnds[i] = *info.U16(kTcGroupEndsAt + 2 * i);
    header.hidRowIndex = *info.U32(kTcRowIndexAt);
    header.hnidRows = *info.U32(kTcRowsAt);
    return header;
}

// TCOLDESC: tag, ibData, cbData, iBit.
constexpr size_t kColumnSize = 8;
constexpr size_t kColumnDataAt = 4;
constexpr size_t kColumnSizeAt = 6;
constexpr size_t kColumnBitAt = 7;

struct Column {
    uint16_t id = 0;
    uint16_t type = 0;
    uint16_t ibData = 0;
    uint8_t cbData = 0;
    uint8_t iBit = 0;
};

// The i-th descriptor when it is wholly there.
std::optional<Column> ReadColumn(const ByteReader& info, size_t i) {
    const size_t at = kTcInfoSize + i * kColumnSize;
    if (!info.Has(at, kColumnSize)) return std::nullopt;
    const uint32_t tag = *info.U32(at);
    return Column{static_cast<uint16_t>(tag >> 16), static_cast<uint16_t>(tag & 0xFFFF),
                  *info.U16(at + kColumnDataAt), *info.U8(at + kColumnSizeAt),
                  *info.U8(at + kColumnBitAt)};
}

struct TableLayout {
    std::vector<Column> columns;
    size_t rowSize = 0;   // rgib[TCI_bm]: the end of the cell-existence bitmap
    size_t cebStart = 0;  // rgib[TCI_1b]
    uint32_t hidRowIndex = 0;
    uint32_t hnidRows = 0;
};

std::optional<TableLayout> ReadTableInfo(const HeapOnNode& heap) {
    const auto info = heap.Allocation(heap.userRoot());
    if (!info) return std::nullopt;
    const auto header = ReadTableContextHeader(*info);
    if (!header || header->type != kClientTableContext) return std::nullopt;
    TableLayout layout;
    layout.cebStart = header->groupEnds[kTci1b];
    layout.rowSize = header->groupEnds[kTciBm];
    layout.hidRowIndex = header->hidRowIndex;
    layout.hnidRows = header->hnidRows;
    if (layout.rowSize == 0) return std::nullopt;
    // Only the descriptors that are really there.
    for (size_t i = 0; i < header->columnCount; ++i) {
        const auto column = ReadColumn(*info, i);
        if (!column) break;
        layout.columns.push_back(*column);
    }
    return layout;
}

// The row matrix as runs of whole rows: a heap item, or a subnode's data blocks, each of
// which holds as many whole rows as fit in it (rows never span blocks).
struct RowMatrix {
    std::vector<std::vector<uint8_t>> subnodeBlocks;
    std::vector<ByteReader> runs;
    size_t rows = 0;
};

RowMatrix ReadRowMatrix(const HeapOnNode& heap, NodeValueReader& reader,
                        const TableLayout& layout) {
    RowMatrix matrix;
    if (IsHid(layout.hnidRows)) {
        if (const auto allocation = heap.Allocation(layout.hnidRows)) {
            matrix.runs.push_back(*allocation);
        }
    } else if (layout.hnidRows != 0) {
        if (reader.ReadSubnodeBlocks(layout.hnidRows, matrix.subnodeBlocks)) {
            for (const auto& block : matrix.subnodeBlocks) matrix.runs.emplace_back(block);
        }
    }
    for (const auto& run : matrix.runs) matrix.rows += run.size() / layout.rowSize;
    return matrix;
}

bool CellPresent(ByteReader row, const TableLayout& layout, const Column& column) {
    // Bit iBit of the cell-existence bitmap, most significant bit first. A bit outside the
    // bitmap (a damaged layout) counts as absent.
    const size_t byte = column.iBit / 8;
    if (layout.cebStart > layout.rowSize || byte >= layout.rowSize - layout.cebStart) return false;
    const auto bits = row.U8(layout.cebStart + byte);
    return bits && (*bits & (0x80 >> (column.iBit % 8))) != 0;
}

}  // namespace

PropertyGroupList ParseTableContext(const HeapOnNode& heap, NodeValueReader& reader) {
    const auto layout = ReadTableInfo(heap);
    if (!layout) return {};
    // The row index maps row ids (4-byte keys) to row numbers; only its size is used: the
    // rows are read in matrix order.
    const auto index = ReadBthHeader(heap, layout->hidRowIndex);
    if (!index || index->cbKey != 4 || index->hidRoot == 0) return {};
    const size_t indexed = WalkBth(heap, *index, [](ByteReader, ByteReader) { return true; });
    if (indexed == 0 || reader.Stopped()) return {};

    const RowMatrix matrix = ReadRowMatrix(heap, reader, *layout);
    const size_t rowCount = std::min(indexed, matrix.rows);
    if (rowCount == 0) return {};

    PropertyGroupList groups;
    size_t produced = 0;
    for (const ByteReader& run : matrix.runs) {
        const size_t rowsHere = run.size() / layout->rowSize;
        for (size_t r = 0; r < rowsHere && produced < rowCount; ++r, ++produced) {
            if (reader.Stopped()) return {};
            if (reader.Exhausted()) break;
            const ByteReader row = run.Sub(r * layout->rowSize, layout->rowSize);
            // Rows whose cells are all absent cost too: a huge matrix of them must end.
            reader.Charge(sizeof(PropertyGroup) + layout->columns.size());
            PropertyGroup group;
            for (const Column& column : layout->columns) {
                if (!CellPresent(row, *layout, column)) continue;
                PropertyValue value = reader.Begin(column.id, column.type);
                if (IsFixedColumnType(column.type)) {
                    if (column.cbData == 0 || column.cbData > 8 ||
                        !row.Has(column.ibData, column.cbData)) {
                        continue;
                    }
                    const auto cell = row.Sub(column.ibData, column.cbData).span();
                    value.data.emplace(cell.begin(), cell.end());
                } else if (IsHnidPropertyType(column.type)) {
                    const auto hnid = row.U32(column.ibData);
                    if (!hnid || !reader.ReadHnid(*hnid, value)) continue;
                }
                reader.Charge(value);
                group.values.push_back(std::move(value));
            }
            groups.push_back(std::move(group));
        }
    }
    if (reader.Stopped()) return {};
    // Rows come out last row first, every group carrying the number of rows.
    std::reverse(groups.begin(), groups.end());
    for (auto& group : groups) group.groupCount = static_cast<uint32_t>(groups.size());
    return groups;
}

}  // namespace kestrel

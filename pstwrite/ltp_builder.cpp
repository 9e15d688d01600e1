#include "pstwrite/ltp_builder.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <stdexcept>

namespace kestrel::test {
namespace {

void PutLe(std::vector<uint8_t>& out, size_t offset, uint64_t value, size_t width) {
    if (out.size() < offset + width) out.resize(offset + width);
    for (size_t i = 0; i < width; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void AppendLe(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    PutLe(out, out.size(), value, width);
}

std::vector<uint8_t> Le(uint64_t value, size_t width) {
    std::vector<uint8_t> out;
    AppendLe(out, value, width);
    return out;
}

// Types whose value sits in the 4-byte value word of a property context.
bool IsInline(uint16_t type) {
    return type == kPtShort || type == kPtLong || type == kPtFloat || type == kPtError ||
           type == kPtBoolean;
}

// Width of a table cell: fixed values in place, everything else as a 4-byte HNID.
size_t CellWidth(uint16_t type) {
    switch (type) {
        case kPtBoolean:
            return 1;
        case kPtShort:
            return 2;
        case kPtDouble:
        case kPtCurrency:
        case kPtAppTime:
        case kPtInt64:
        case kPtSysTime:
            return 8;
        default:
            return 4;
    }
}

bool IsFixedCell(uint16_t type) {
    return IsInline(type) || CellWidth(type) == 8;
}

// Free bytes to the 4-bit fill level kept for each heap block.
uint8_t FillLevel(size_t freeBytes) {
    static const size_t kFloors[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                     512,  256,  128,  64,   32,   16,   8};
    for (uint8_t level = 0; level < 15; ++level)
        if (freeBytes >= kFloors[level]) return level;
    return 0x0F;
}

bool KeyLess(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    // Keys are little-endian numbers: compare from the most significant byte.
    const size_t n = std::max(a.size(), b.size());
    for (size_t i = n; i-- > 0;) {
        const uint8_t x = i < a.size() ? a[i] : 0, y = i < b.size() ? b[i] : 0;
        if (x != y) return x < y;
    }
    return false;
}

std::vector<std::vector<uint8_t>> CutIntoBlocks(const std::vector<uint8_t>& value, size_t limit) {
    std::vector<std::vector<uint8_t>> blocks;
    for (size_t i = 0; i < value.size(); i += limit)
        blocks.emplace_back(
            value.begin() + static_cast<ptrdiff_t>(i),
            value.begin() + static_cast<ptrdiff_t>(std::min(value.size(), i + limit)));
    if (blocks.empty()) blocks.emplace_back();
    return blocks;
}

const uint32_t kTagRowId = MakeTag(0x67F2, kPtLong);
const uint32_t kTagRowVer = MakeTag(0x67F3, kPtLong);

}  // namespace

// --- Text, GUIDs, times ---

std::vector<uint8_t> Utf16(std::string_view utf8) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < utf8.size();) {
        const uint8_t c = static_cast<uint8_t>(utf8[i]);
        uint32_t cp = 0;
        size_t len = 1;
        if (c < 0x80)
            cp = c;
        else if ((c >> 5) == 6)
            cp = c & 0x1F, len = 2;
        else if ((c >> 4) == 14)
            cp = c & 0x0F, len = 3;
        else if ((c >> 3) == 30)
            cp = c & 0x07, len = 4;
        else
            throw std::invalid_argument("not UTF-8");
        if (i + len > utf8.size()) throw std::invalid_argument("truncated UTF-8");
        for (size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<uint8_t>(utf8[i + k]) & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            AppendLe(out, 0xD800 + (cp >> 10), 2);
            AppendLe(out, 0xDC00 + (cp & 0x3FF), 2);
        } else {
            AppendLe(out, cp, 2);
        }
    }
    return out;
}

std::vector<uint8_t> CodePageBytes(std::string_view utf8, uint32_t codePage) {
    std::string name;
    switch (codePage) {
        case 65001:
            name = "UTF-8";
            break;
        case 20127:
            name = "ASCII";
            break;
        case 28591:
            name = "ISO-8859-1";
            break;
        case 28592:
            name = "ISO-8859-2";
            break;
        case 28595:
            name = "ISO-8859-5";
            break;
        case 20866:
            name = "KOI8-R";
            break;
        case 51932:
            name = "EUC-JP";
            break;
        case 54936:
            name = "GB18030";
            break;
        default:
            name = "CP" + std::to_string(codePage);
    }
    iconv_t cd = iconv_open(name.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::invalid_argument("no converter for code page " + std::to_string(codePage));
    std::string in(utf8);
    std::vector<uint8_t> out(in.size() * 4 + 16);
    char* src = in.data();
    size_t srcLeft = in.size();
    char* dst = reinterpret_cast<char*>(out.data());
    size_t dstLeft = out.size();
    const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1))
        throw std::invalid_argument("text does not fit code page " + std::to_string(codePage));
    out.resize(out.size() - dstLeft);
    return out;
}

Guid MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, std::array<uint8_t, 8> d4) {
    Guid g{};
    for (int i = 0; i < 4; ++i) g[i] = static_cast<uint8_t>(d1 >> (8 * i));
    for (int i = 0; i < 2; ++i) g[4 + i] = static_cast<uint8_t>(d2 >> (8 * i));
    for (int i = 0; i < 2; ++i) g[6 + i] = static_cast<uint8_t>(d3 >> (8 * i));
    std::copy(d4.begin(), d4.end(), g.begin() + 8);
    return g;
}

namespace {
constexpr std::array<uint8_t, 8> kMapiTail = {0xC0, 0, 0, 0, 0, 0, 0, 0x46};
}
const Guid kPsMapi = MakeGuid(0x00020328, 0, 0, kMapiTail);
const Guid kPsPublicStrings = MakeGuid(0x00020329, 0, 0, kMapiTail);
const Guid kPsetidAppointment = MakeGuid(0x00062002, 0, 0, kMapiTail);
const Guid kPsetidTask = MakeGuid(0x00062003, 0, 0, kMapiTail);
const Guid kPsetidAddress = MakeGuid(0x00062004, 0, 0, kMapiTail);
const Guid kPsetidCommon = MakeGuid(0x00062008, 0, 0, kMapiTail);
const Guid kPsetidLog = MakeGuid(0x0006200A, 0, 0, kMapiTail);
const Guid kPsetidNote = MakeGuid(0x0006200E, 0, 0, kMapiTail);
const Guid kPsInternetHeaders = MakeGuid(0x00020386, 0, 0, kMapiTail);

uint64_t FileTime(int year, int month, int day, int hour, int minute, int second) {
    // Days from 1970-01-01 to the civil date (proleptic Gregorian).
    const int y = year - (month <= 2);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153u * static_cast<unsigned>(month + (month > 2 ? -3 : 9)) + 2) / 5 +
                         static_cast<unsigned>(day) - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = int64_t{era} * 146097 + doe - 719468;
    const int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ULL;
}

// --- Prop ---

Prop Prop::Int16(uint16_t id, uint16_t v) {
    return {id, kPtShort, Le(v, 2)};
}
Prop Prop::Int32(uint16_t id, uint32_t v) {
    return {id, kPtLong, Le(v, 4)};
}
Prop Prop::Bool(uint16_t id, bool v) {
    return {id, kPtBoolean, {static_cast<uint8_t>(v)}};
}
Prop Prop::Int64(uint16_t id, uint64_t v) {
    return {id, kPtInt64, Le(v, 8)};
}
Prop Prop::Time(uint16_t id, uint64_t fileTime) {
    return {id, kPtSysTime, Le(fileTime, 8)};
}
Prop Prop::Unicode(uint16_t id, std::string_view utf8) {
    return {id, kPtUnicode, Utf16(utf8)};
}
Prop Prop::String8(uint16_t id, std::vector<uint8_t> bytes) {
    return {id, kPtString8, std::move(bytes)};
}
Prop Prop::Binary(uint16_t id, std::vector<uint8_t> bytes) {
    return {id, kPtBinary, std::move(bytes)};
}
Prop Prop::GuidValue(uint16_t id, const Guid& guid) {
    return {id, kPtGuid, std::vector<uint8_t>(guid.begin(), guid.end())};
}
Prop Prop::Raw(uint16_t id, uint16_t type, std::vector<uint8_t> bytes) {
    return {id, type, std::move(bytes)};
}

// --- Storing a node ---

StoredNode StoreNode(PstBuilder& pst, const LtpNode& node) {
    StoredNode stored;
    stored.bidData = pst.AddDataTree(node.blocks);
    if (!node.subnodes.empty()) {
        std::vector<SlEntry> entries;
        for (const LtpSubnode& sub : node.subnodes) {
            const StoredNode child = StoreNode(pst, sub.node);
            entries.push_back({sub.nid, child.bidData, child.bidSub});
        }
        stored.bidSub = pst.AddSubnodes(std::move(entries));
    }
    return stored;
}

// --- Heap ---

HeapBuilder::HeapBuilder(uint8_t clientSignature, size_t blockLimit)
    : clientSignature_(clientSignature), blockLimit_(blockLimit) {}

size_t HeapBuilder::HeaderSize(size_t blockIndex) {
    if (blockIndex == 0) return 12;                                 // HNHDR
    if (blockIndex >= 8 && (blockIndex - 8) % 128 == 0) return 66;  // HNBITMAPHDR
    return 2;                                                       // HNPAGEHDR
}

void HeapBuilder::NewBlock() {
    blocks_.push_back({{}, HeaderSize(blocks_.size())});
}

uint32_t HeapBuilder::Allocate(std::span<const uint8_t> bytes) {
    if (blocks_.empty()) NewBlock();
    auto fits = [&](const Block& b) {
        const size_t n = b.allocations.size() + 1;
        const size_t mapAt = (b.used + bytes.size() + 1) & ~size_t{1};
        return n <= 0x7FF && mapAt + 4 + 2 * (n + 1) <= blockLimit_;
    };
    if (!fits(blocks_.back()) && !blocks_.back().allocations.empty()) NewBlock();
    Block& b = blocks_.back();
    b.allocations.emplace_back(bytes.begin(), bytes.end());
    b.used += bytes.size();
    return MakeHid(static_cast<uint32_t>(blocks_.size() - 1),
                   static_cast<uint32_t>(b.allocations.size()));
}

void HeapBuilder::Overwrite(uint32_t hid, std::span<const uint8_t> bytes) {
    const size_t block = hid >> 16, index = (hid >> 5) & 0x7FF;
    if (block >= blocks_.size() || index == 0 || index > blocks_[block].allocations.size())
        throw std::out_of_range("no such heap allocation");
    auto& allocation = blocks_[block].allocations[index - 1];
    if (allocation.size() != bytes.size()) throw std::invalid_argument("allocation size differs");
    std::copy(bytes.begin(), bytes.end(), allocation.begin());
}

std::vector<std::vector<uint8_t>> HeapBuilder::Finish() const {
    std::vector<uint8_t> levels;
    for (const Block& b : blocks_) {
        const size_t n = b.allocations.size();
        const size_t size = ((b.used + 1) & ~size_t{1}) + 4 + 2 * (n + 1);
        levels.push_back(FillLevel(blockLimit_ > size ? blockLimit_ - size : 0));
    }
    auto packLevels = [&](std::vector<uint8_t>& out, size_t at, size_t first, size_t count) {
        for (size_t k = 0; k < count && first + k < levels.size(); ++k)
            out[at + k / 2] |= static_cast<uint8_t>(levels[first + k] << (4 * (k % 2)));
    };

    std::vector<std::vector<uint8_t>> out;
    const std::vector<Block> blocks = blocks_.empty() ? std::vector<Block>{{{}, 12}} : blocks_;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const Block& b = blocks[i];
        std::vector<uint8_t> bytes(HeaderSize(i), 0);
        if (i == 0) {
            bytes[2] = 0xEC;
            bytes[3] = clientSignature_;
            PutLe(bytes, 4, userRoot_, 4);
            packLevels(bytes, 8, 0, 8);
        } else if (HeaderSize(i) == 66) {
            packLevels(bytes, 2, i, 128);
        }
        std::vector<uint16_t> starts;
        for (const auto& a : b.allocations) {
            starts.push_back(static_cast<uint16_t>(bytes.size()));
            bytes.insert(bytes.end(), a.begin(), a.end());
        }
        starts.push_back(static_cast<uint16_t>(bytes.size()));
        if (bytes.size() % 2) bytes.push_back(0);
        PutLe(bytes, 0, bytes.size(), 2);  // ibHnpm
        AppendLe(bytes, b.allocations.size(), 2);
        AppendLe(bytes, 0, 2);  // cFree
        for (uint16_t s : starts) AppendLe(bytes, s, 2);
        out.push_back(std::move(bytes));
    }
    return out;
}

// --- BTH ---

uint32_t AddBth(HeapBuilder& heap, uint8_t cbKey, uint8_t cbEnt, std::vector<BthRecord> records,
                size_t recordsPerLeaf, uint32_t headerHid) {
    if (headerHid == 0) headerHid = heap.Allocate(std::vector<uint8_t>(8, 0));
    for (auto& r : records) {
        r.key.resize(cbKey, 0);
        r.data.resize(cbEnt, 0);
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const BthRecord& a, const BthRecord& b) { return KeyLess(a.key, b.key); });

    struct Node {
        std::vector<uint8_t> firstKey;
        uint32_t hid;
    };
    std::vector<Node> level;
    const size_t perLeaf =
        recordsPerLeaf ? recordsPerLeaf : LtpBuilder::kMaxHeapValue / (cbKey + cbEnt);
    for (size_t i = 0; i < records.size(); i += perLeaf) {
        std::vector<uint8_t> bytes;
        for (size_t k = i; k < std::min(records.size(), i + perLeaf); ++k) {
            bytes.insert(bytes.end(), records[k].key.begin(), records[k].key.end());
            bytes.insert(bytes.end(), records[k].data.begin(), records[k].data.end());
        }
        level.push_back({records[i].key, heap.Allocate(bytes)});
    }
    uint8_t indexLevels = 0;
    const size_t perIndex = recordsPerLeaf ? std::max<size_t>(2, recordsPerLeaf)
                                           : LtpBuilder::kMaxHeapValue / (cbKey + 4u);
    while (level.size() > 1) {
        std::vector<Node> next;
        for (size_t i = 0; i < level.size(); i += perIndex) {
            std::vector<uint8_t> bytes;
            for (size_t k = i; k < std::min(level.size(), i + perIndex); ++k) {
                bytes.insert(bytes.end(), level[k].firstKey.begin(), level[k].firstKey.end());
                AppendLe(bytes, level[k].hid, 4);
            }
            next.push_back({level[i].firstKey, heap.Allocate(bytes)});
        }
        level = std::move(next);
        ++indexLevels;
    }
    std::vector<uint8_t> header = {0xB5, cbKey, cbEnt, indexLevels};
    AppendLe(header, level.empty() ? 0 : level.front().hid, 4);
    heap.Overwrite(headerHid, header);
    return headerHid;
}

// --- Property and table contexts ---

size_t LtpBuilder::HeapLimit(const LtpOptions& options) const {
    return options.heapBlockLimit ? std::min(options.heapBlockLimit, MaxBlockData())
                                  : MaxBlockData();
}

uint32_t LtpBuilder::PlaceValue(HeapBuilder& heap, const Prop& prop,
                                std::vector<LtpSubnode>& subnodes) {
    const bool subnode = prop.where == Prop::Where::Subnode ||
                         (prop.where == Prop::Where::Auto && prop.value.size() > kMaxHeapValue);
    if (subnode) {
        const uint32_t nid = NextLtpNid();
        subnodes.push_back({nid, {CutIntoBlocks(prop.value, MaxBlockData()), {}}});
        return nid;
    }
    // Outlook writes an empty value as HNID 0 rather than an empty allocation.
    if (prop.value.empty() && prop.where == Prop::Where::Auto) return 0;
    return heap.Allocate(prop.value);
}

LtpNode LtpBuilder::PropertyContext(const std::vector<Prop>& props, const LtpOptions& options) {
    HeapBuilder heap(0xBC, HeapLimit(options));
    const uint32_t header = heap.Allocate(std::vector<uint8_t>(8, 0));
    LtpNode node;
    std::vector<BthRecord> records;
    for (const Prop& p : props) {
        uint32_t word = 0;
        if (IsInline(p.type)) {
            for (size_t i = 0; i < std::min<size_t>(4, p.value.size()); ++i)
                word |= uint32_t{p.value[i]} << (8 * i);
        } else {
            word = PlaceValue(heap, p, node.subnodes);
        }
        std::vector<uint8_t> data = Le(p.type, 2);
        AppendLe(data, word, 4);
        records.push_back({Le(p.id, 2), std::move(data)});
    }
    AddBth(heap, 2, 6, std::move(records), options.recordsPerLeaf, header);
    heap.SetUserRoot(header);
    node.blocks = heap.Finish();
    return node;
}

LtpNode LtpBuilder::TableContext(const Table& table, const LtpOptions& options) {
    struct Column {
        uint32_t tag;
        uint16_t ib = 0;
        uint8_t cb = 0;
        uint8_t iBit = 0;
    };
    std::set<uint32_t> tags(table.columns.begin(), table.columns.end());
    for (const auto& row : table.rows)
        for (const auto& cell : row.cells) tags.insert(cell.tag());
    tags.erase(kTagRowId);
    tags.erase(kTagRowVer);

    // Row layout: row id, row version, then 8-, 4-, 2- and 1-byte cells, then the bitmap.
    std::vector<Column> layout = {{kTagRowId, 0, 4, 0}, {kTagRowVer, 4, 4, 1}};
    uint16_t at = 8;
    uint16_t rgib[4] = {};
    for (size_t width : {8, 4, 2, 1}) {
        for (uint32_t tag : tags) {
            if (CellWidth(static_cast<uint16_t>(tag)) != width) continue;
            layout.push_back(
                {tag, at, static_cast<uint8_t>(width), static_cast<uint8_t>(layout.size())});
            at = static_cast<uint16_t>(at + width);
        }
        if (width == 4) rgib[0] = at;
        if (width == 2) rgib[1] = at;
        if (width == 1) rgib[2] = at;
    }
    const size_t cCols = layout.size();
    rgib[3] = static_cast<uint16_t>(at + (cCols + 7) / 8);
    const size_t rowSize = rgib[3];

    HeapBuilder heap(0x7C, HeapLimit(options));
    const uint32_t tcinfo = heap.Allocate(std::vector<uint8_t>(22 + 8 * cCols, 0));
    LtpNode node;

    std::vector<BthRecord> index;
    const size_t indexWidth = variant_ == PstVariant::Ansi ? 2 : 4;
    for (size_t r = 0; r < table.rows.size(); ++r)
        index.push_back({Le(table.rows[r].id, 4), Le(r, indexWidth)});
    const uint32_t rowIndex =
        AddBth(heap, 4, static_cast<uint8_t>(indexWidth), std::move(index), options.recordsPerLeaf);

    std::vector<uint8_t> matrix;
    for (size_t r = 0; r < table.rows.size(); ++r) {
        const TableRow& row = table.rows[r];
        std::vector<uint8_t> bytes(rowSize, 0);
        PutLe(bytes, 0, row.id, 4);
        PutLe(bytes, 4, r + 1, 4);
        bytes[at] |= 0xC0;  // row id and version always exist
        for (const Prop& cell : row.cells) {
            auto col = std::find_if(layout.begin(), layout.end(),
                                    [&](const Column& c) { return c.tag == cell.tag(); });
            if (IsFixedCell(cell.type)) {
                for (size_t i = 0; i < std::min<size_t>(col->cb, cell.value.size()); ++i)
                    bytes[col->ib + i] = cell.value[i];
            } else {
                PutLe(bytes, col->ib, PlaceValue(heap, cell, node.subnodes), 4);
            }
            bytes[at + col->iBit / 8] |= static_cast<uint8_t>(0x80 >> (col->iBit % 8));
        }
        matrix.insert(matrix.end(), bytes.begin(), bytes.end());
    }

    uint32_t hnidRows = 0;
    if (!table.rows.empty()) {
        if (!table.rowsInSubnode && matrix.size() <= kMaxHeapValue) {
            hnidRows = heap.Allocate(matrix);
        } else {
            // Rows never straddle two blocks of the row matrix.
            const size_t perBlock = table.rowsPerBlock
                                        ? table.rowsPerBlock
                                        : std::max<size_t>(1, MaxBlockData() / rowSize);
            hnidRows = NextLtpNid();
            node.subnodes.push_back({hnidRows, {CutIntoBlocks(matrix, perBlock * rowSize), {}}});
        }
    }

    std::sort(layout.begin(), layout.end(),
              [](const Column& a, const Column& b) { return a.tag < b.tag; });
    std::vector<uint8_t> info = {0x7C, static_cast<uint8_t>(cCols)};
    for (uint16_t v : rgib) AppendLe(info, v, 2);
    AppendLe(info, rowIndex, 4);
    AppendLe(info, hnidRows, 4);
    AppendLe(info, 0, 4);  // hidIndex, no longer used
    for (const Column& c : layout) {
        AppendLe(info, c.tag, 4);
        AppendLe(info, c.ib, 2);
        info.push_back(c.cb);
        info.push_back(c.iBit);
    }
    heap.Overwrite(tcinfo, info);
    heap.SetUserRoot(tcinfo);
    node.blocks = heap.Finish();
    return node;
}

LtpNode LtpBuilder::NameToIdMap(const std::vector<NameId>& names, const LtpOptions& options) {
    constexpr uint32_t kBuckets = 251;
    std::vector<uint8_t> guids, entries, strings;
    std::vector<Guid> guidList;
    std::map<uint32_t, std::vector<uint8_t>> buckets;
    for (size_t i = 0; i < names.size(); ++i) {
        const NameId& n = names[i];
        uint32_t wGuid = 0;
        if (n.guid == kPsMapi) {
            wGuid = 1;
        } else if (n.guid == kPsPublicStrings) {
            wGuid = 2;
        } else {
            auto it = std::find(guidList.begin(), guidList.end(), n.guid);
            if (it == guidList.end()) {
                guidList.push_back(n.guid);
                guids.insert(guids.end(), n.guid.begin(), n.guid.end());
                it = guidList.end() - 1;
            }
            wGuid = 3 + static_cast<uint32_t>(it - guidList.begin());
        }
        const bool named = !n.name.empty();
        const uint32_t guidWord = (wGuid << 1) | (named ? 1 : 0);
        uint32_t id = n.lid, hash = n.lid;
        if (named) {
            const std::vector<uint8_t> text = Utf16(n.name);
            id = static_cast<uint32_t>(strings.size());
            hash = ComputeCrc(text);
            AppendLe(strings, text.size(), 4);
            strings.insert(strings.end(), text.begin(), text.end());
            while (strings.size() % 4) strings.push_back(0);
        }
        AppendLe(entries, id, 4);
        AppendLe(entries, guidWord, 2);
        AppendLe(entries, i, 2);
        auto& bucket = buckets[(hash ^ guidWord) % kBuckets];
        AppendLe(bucket, hash, 4);
        AppendLe(bucket, guidWord, 2);
        AppendLe(bucket, i, 2);
    }
    std::vector<Prop> props = {Prop::Int32(0x0001, kBuckets), Prop::Binary(0x0002, guids),
                               Prop::Binary(0x0003, entries), Prop::Binary(0x0004, strings)};
    for (auto& [index, bytes] : buckets)
        props.push_back(Prop::Binary(static_cast<uint16_t>(0x1000 + index), bytes));
    return PropertyContext(props, options);
}

}  // namespace kestrel::test

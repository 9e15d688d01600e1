#include "pstwrite/pst_builder.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <stdexcept>
#include <string>

#include "storage/block_reader.h"
#include "storage/crc.h"

namespace kestrel::test {
namespace {

// Permutation encoding: the inverse of the decoding table the reader uses (built on first
// use, so that no static initialiser elsewhere meets it unbuilt).
const std::array<uint8_t, 256>& PermuteEncode() {
    static const std::array<uint8_t, 256> encode = [] {
        std::array<uint8_t, 256> table{};
        for (int b = 0; b < 256; ++b) {
            uint8_t decoded = static_cast<uint8_t>(b);
            DecodePermute(&decoded, 1, 1);
            table[decoded] = static_cast<uint8_t>(b);
        }
        return table;
    }();
    return encode;
}

void PutLe(std::vector<uint8_t>& out, size_t offset, uint64_t value, size_t width) {
    if (out.size() < offset + width) out.resize(offset + width);
    for (size_t i = 0; i < width; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void AppendLe(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    PutLe(out, out.size(), value, width);
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

constexpr uint64_t kFirstAMap = 0x4400;
constexpr uint64_t kAMapSpan = 496 * 8 * 64;  // bytes mapped by one AMap page
constexpr uint64_t kFirstPMap = 0x4600;
constexpr uint64_t kPMapSpan = 496 * 8 * 512;  // bytes mapped by one PMap page
constexpr uint64_t kDataStart = 0x4800;
constexpr uint64_t kPageSize = 512;  // map pages of the 512-byte layouts
constexpr uint8_t kPtypeBbt = 0x80, kPtypeNbt = 0x81, kPtypePMap = 0x83, kPtypeAMap = 0x84;

bool IsMapPage(uint64_t offset) {
    if (offset < kFirstAMap) return false;
    if ((offset - kFirstAMap) % kAMapSpan == 0) return true;
    return offset >= kFirstPMap && (offset - kFirstPMap) % kPMapSpan == 0;
}

}  // namespace

uint32_t ComputeCrc(std::span<const uint8_t> bytes, uint32_t crc) {
    // zlib's CRC inverts its value on the way in and out; the format's does neither. zlib
    // answers 0 for no buffer at all, so an empty span keeps the value as it is.
    if (bytes.empty()) return crc;
    return ~static_cast<uint32_t>(crc32_z(~crc, bytes.data(), bytes.size()));
}

uint16_t ComputeSignature(uint64_t ib, uint64_t bid) {
    return ComputeSig(ib, bid);
}

void EncodeBlockData(uint8_t method, uint64_t bid, std::span<uint8_t> bytes) {
    if (method == 1) {
        const std::array<uint8_t, 256>& encode = PermuteEncode();
        for (uint8_t& b : bytes) b = encode[b];
    } else if (method == 2) {
        // The cyclic cipher is its own inverse.
        DecodeCyclic(bytes.data(), bytes.size(), static_cast<uint32_t>(bid));
    }
}

void DecodeBlockData(uint8_t method, uint64_t bid, std::span<uint8_t> bytes) {
    if (method == 1) {
        DecodePermute(bytes.data(), bytes.size(), 1);
    } else if (method == 2) {
        DecodeCyclic(bytes.data(), bytes.size(), static_cast<uint32_t>(bid));
    }
}

// --- Image: a growing file with an allocator that keeps clear of the map pages. ---

uint64_t PstBuilder::Image::Allocate(uint64_t size, uint64_t alignment) {
    uint64_t at = AlignUp(cursor, alignment);
    // Blocks and pages never cover an AMap or PMap page (each 512 bytes, 512-aligned).
    for (; maps;) {
        uint64_t clash = 0;
        for (uint64_t p = at & ~(kPageSize - 1); p < at + size; p += kPageSize) {
            if (IsMapPage(p)) {
                clash = p;
                break;
            }
        }
        if (!clash) break;
        at = AlignUp(clash + kPageSize, alignment);
    }
    cursor = at + size;
    used.push_back({at, size});
    if (bytes.size() < cursor) bytes.resize(cursor);
    return at;
}

void PstBuilder::Image::Write(uint64_t offset, std::span<const uint8_t> data) {
    if (bytes.size() < offset + data.size()) bytes.resize(offset + data.size());
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<ptrdiff_t>(offset));
}

// --- Builder ---

PstBuilder::PstBuilder(PstVariant variant, uint8_t cryptMethod)
    : variant_(variant), cryptMethod_(cryptMethod) {
    if (variant != PstVariant::Ansi && variant != PstVariant::Unicode &&
        variant != PstVariant::Unicode4k)
        throw std::invalid_argument("PstBuilder needs the Ansi, Unicode or Unicode4k variant");
    image_.cursor = kDataStart;
    image_.bytes.resize(kDataStart);
    // No allocation maps in 4 KB-page files: readers do not need them.
    image_.maps = !fourK();
    if (fourK()) header_.allocationMaps = false;
}

size_t PstBuilder::PageCapacity(BTree tree, uint8_t level) const {
    const size_t area = EntryArea();
    if (level > 0) return area / (3 * IdSize());
    if (tree == BTree::Block) return area / (unicode() ? 24 : 12);
    return area / (unicode() ? 32 : 16);
}

size_t PstBuilder::EntriesPerPage(BTree tree, uint8_t level) const {
    const size_t capacity = PageCapacity(tree, level);
    if (limits_.pageEntries == 0) return capacity;
    return std::max<size_t>(2, std::min(limits_.pageEntries, capacity));
}

uint64_t PstBuilder::ReserveBid(bool internal) {
    return (nextBidIndex_++ << 2) | (internal ? 2 : 0);
}

uint64_t PstBuilder::TakeBid(uint64_t bid, bool internal) {
    if (bid == 0) return ReserveBid(internal);
    // A BID chosen by the test still moves the counter past it, so later ones differ.
    nextBidIndex_ = std::max(nextBidIndex_, (bid >> 2) + 1);
    return bid;
}

uint64_t PstBuilder::PlaceBlock(std::vector<uint8_t> bytes, uint64_t bid, uint64_t dataSize,
                                uint16_t cbInflated) {
    if (bytes.size() > 0xFFFF) throw std::invalid_argument("a block holds at most 65535 bytes");
    const uint64_t total = AlignUp(bytes.size() + BlockTrailerSize(), BlockAlignment());
    const uint64_t ib = image_.Allocate(total, BlockAlignment());
    image_.Write(ib, bytes);
    std::vector<uint8_t> trailer;
    AppendLe(trailer, bytes.size(), 2);
    AppendLe(trailer, ComputeSignature(ib, bid), 2);
    const uint32_t crc = ComputeCrc(bytes);
    if (unicode()) {
        AppendLe(trailer, crc, 4);
        AppendLe(trailer, bid, 8);
    } else {
        AppendLe(trailer, bid, 4);
        AppendLe(trailer, crc, 4);
    }
    const auto cb = static_cast<uint16_t>(bytes.size());
    if (fourK()) {
        AppendLe(trailer, 2, 2);  // as Outlook writes it
        AppendLe(trailer, cbInflated ? cbInflated : cb, 2);
        AppendLe(trailer, 0, 4);
    }
    image_.Write(ib + total - trailer.size(), trailer);
    const BbtEntry entry{bid, ib, cb, 2, cbInflated};
    placed_[bid] = entry;
    dataSize_[bid] = dataSize;
    bbt_.push_back(entry);
    return bid;
}

uint64_t PstBuilder::AddBlock(std::span<const uint8_t> data, uint64_t bid) {
    bid = TakeBid(bid, false);
    // Deflated first, then encoded: encoded bytes (cyclic ones above all) hardly deflate.
    if (fourK() && deflate_ && !data.empty()) {
        std::vector<uint8_t> deflated = Deflate(data);
        if (deflated.size() < data.size()) {
            EncodeBlockData(cryptMethod_, bid, deflated);
            return PlaceBlock(std::move(deflated), bid, data.size(),
                              static_cast<uint16_t>(data.size()));
        }
    }
    std::vector<uint8_t> bytes(data.begin(), data.end());
    EncodeBlockData(cryptMethod_, bid, bytes);
    return PlaceBlock(std::move(bytes), bid, data.size());
}

uint64_t PstBuilder::AddDeflatedBlock(std::span<const uint8_t> data, uint64_t bid,
                                      std::optional<uint16_t> cbInflated) {
    bid = TakeBid(bid, false);
    std::vector<uint8_t> bytes = Deflate(data);
    EncodeBlockData(cryptMethod_, bid, bytes);
    const auto inflated = cbInflated.value_or(static_cast<uint16_t>(data.size()));
    return PlaceBlock(std::move(bytes), bid, data.size(), inflated);
}

std::vector<uint8_t> PstBuilder::Deflate(std::span<const uint8_t> bytes) {
    uLongf size = compressBound(bytes.size());
    std::vector<uint8_t> out(size);
    if (compress2(out.data(), &size, bytes.data(), bytes.size(), Z_DEFAULT_COMPRESSION) != Z_OK)
        throw std::runtime_error("deflate failed");
    out.resize(size);
    return out;
}

uint64_t PstBuilder::AddRawBlock(std::span<const uint8_t> bytes, uint64_t bid) {
    bid = TakeBid(bid, false);
    return PlaceBlock(std::vector<uint8_t>(bytes.begin(), bytes.end()), bid, bytes.size());
}

uint64_t PstBuilder::AddTree(uint8_t level, const std::vector<uint64_t>& children, uint64_t bid,
                             std::optional<uint32_t> lcbTotal) {
    bid = TakeBid(bid, true);
    uint64_t total = 0;
    for (uint64_t child : children) {
        auto it = dataSize_.find(child);
        if (it != dataSize_.end()) total += it->second;
    }
    std::vector<uint8_t> bytes;
    AppendLe(bytes, 0x01, 1);
    AppendLe(bytes, level, 1);
    AppendLe(bytes, children.size(), 2);
    AppendLe(bytes, lcbTotal ? *lcbTotal : static_cast<uint32_t>(total), 4);
    for (uint64_t child : children) AppendLe(bytes, child, IdSize());
    return PlaceBlock(std::move(bytes), bid, lcbTotal ? *lcbTotal : total);
}

uint64_t PstBuilder::AddXBlock(const std::vector<uint64_t>& children, uint64_t bid,
                               std::optional<uint32_t> lcbTotal) {
    return AddTree(1, children, bid, lcbTotal);
}

uint64_t PstBuilder::AddXXBlock(const std::vector<uint64_t>& children, uint64_t bid,
                                std::optional<uint32_t> lcbTotal) {
    return AddTree(2, children, bid, lcbTotal);
}

// One XBLOCK over the data blocks when they fit, else XBLOCKs under an XXBLOCK.
uint64_t PstBuilder::BuildTreeOf(uint8_t level, std::vector<uint64_t> children) {
    const size_t fit = (MaxBlockData() - 8) / IdSize();
    const size_t fanout =
        limits_.xblockEntries ? std::max<size_t>(1, std::min(limits_.xblockEntries, fit)) : fit;
    if (children.size() <= fanout) return AddTree(level, children, 0, std::nullopt);
    if (level == 2) throw std::invalid_argument("data too large for an XXBLOCK tree");
    std::vector<uint64_t> xblocks;
    for (size_t i = 0; i < children.size(); i += fanout) {
        std::vector<uint64_t> part(
            children.begin() + static_cast<ptrdiff_t>(i),
            children.begin() + static_cast<ptrdiff_t>(std::min(children.size(), i + fanout)));
        xblocks.push_back(AddTree(1, part, 0, std::nullopt));
    }
    return BuildTreeOf(2, std::move(xblocks));
}

uint64_t PstBuilder::AddData(std::span<const uint8_t> data) {
    const size_t chunk =
        limits_.blockData ? std::min(limits_.blockData, MaxBlockData()) : MaxBlockData();
    if (data.size() <= chunk) return AddBlock(data);
    std::vector<uint64_t> blocks;
    for (size_t i = 0; i < data.size(); i += chunk)
        blocks.push_back(AddBlock(data.subspan(i, std::min(chunk, data.size() - i))));
    return BuildTreeOf(1, std::move(blocks));
}

uint64_t PstBuilder::AddDataTree(const std::vector<std::vector<uint8_t>>& pieces) {
    if (pieces.empty()) return AddBlock(std::span<const uint8_t>());
    if (pieces.size() == 1) return AddBlock(pieces.front());
    std::vector<uint64_t> blocks;
    for (const auto& piece : pieces) blocks.push_back(AddBlock(piece));
    return BuildTreeOf(1, std::move(blocks));
}

uint64_t PstBuilder::AddSlBlock(const std::vector<SlEntry>& entries, uint64_t bid) {
    bid = TakeBid(bid, true);
    std::vector<uint8_t> bytes;
    AppendLe(bytes, 0x02, 1);
    AppendLe(bytes, 0x00, 1);
    AppendLe(bytes, entries.size(), 2);
    if (unicode()) AppendLe(bytes, 0, 4);
    for (const SlEntry& e : entries) {
        AppendLe(bytes, e.nid, IdSize());
        AppendLe(bytes, e.bidData, IdSize());
        AppendLe(bytes, e.bidSub, IdSize());
    }
    return PlaceBlock(std::move(bytes), bid, 0);
}

uint64_t PstBuilder::AddSiBlock(const std::vector<SiEntry>& entries, uint64_t bid) {
    bid = TakeBid(bid, true);
    std::vector<uint8_t> bytes;
    AppendLe(bytes, 0x02, 1);
    AppendLe(bytes, 0x01, 1);
    AppendLe(bytes, entries.size(), 2);
    if (unicode()) AppendLe(bytes, 0, 4);
    for (const SiEntry& e : entries) {
        AppendLe(bytes, e.nid, IdSize());
        AppendLe(bytes, e.bid, IdSize());
    }
    return PlaceBlock(std::move(bytes), bid, 0);
}

uint64_t PstBuilder::AddSubnodes(std::vector<SlEntry> entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const SlEntry& a, const SlEntry& b) { return a.nid < b.nid; });
    const size_t header = unicode() ? 8 : 4;
    const size_t fit = (MaxBlockData() - header) / (3 * IdSize());
    const size_t perLeaf =
        limits_.slEntries ? std::max<size_t>(1, std::min(limits_.slEntries, fit)) : fit;
    if (entries.size() <= perLeaf) return AddSlBlock(entries);
    std::vector<SiEntry> leaves;
    for (size_t i = 0; i < entries.size(); i += perLeaf) {
        std::vector<SlEntry> part(
            entries.begin() + static_cast<ptrdiff_t>(i),
            entries.begin() + static_cast<ptrdiff_t>(std::min(entries.size(), i + perLeaf)));
        leaves.push_back({part.front().nid, AddSlBlock(part)});
    }
    if (leaves.size() > (MaxBlockData() - header) / (2 * IdSize()))
        throw std::invalid_argument("too many subnodes for one SIBLOCK");
    return AddSiBlock(leaves);
}

const BbtEntry& PstBuilder::Block(uint64_t bid) const {
    auto it = placed_.find(bid);
    if (it == placed_.end()) throw std::out_of_range("no block with BID " + std::to_string(bid));
    return it->second;
}

uint64_t PstBuilder::TrailerOffset(uint64_t bid) const {
    const BbtEntry& e = Block(bid);
    return e.ib + AlignUp(e.cb + BlockTrailerSize(), BlockAlignment()) - BlockTrailerSize();
}

void PstBuilder::Unindex(uint64_t bid) {
    std::erase_if(bbt_, [bid](const BbtEntry& e) { return e.bid == bid; });
}

void PstBuilder::AddNode(uint32_t nid, uint64_t bidData, uint64_t bidSub, uint32_t nidParent) {
    nbt_.push_back({nid, bidData, bidSub, nidParent});
}

// --- B-tree pages ---

std::vector<uint8_t> PstBuilder::SerializeBbt(const BbtEntry& e) const {
    std::vector<uint8_t> out;
    AppendLe(out, e.bid, IdSize());
    AppendLe(out, e.ib, IdSize());
    AppendLe(out, e.cb, 2);
    if (fourK()) AppendLe(out, e.cbInflated ? e.cbInflated : e.cb, 2);
    AppendLe(out, e.cRef, 2);
    if (unicode()) AppendLe(out, 0, fourK() ? 2 : 4);
    return out;
}

std::vector<uint8_t> PstBuilder::SerializeNbt(const NbtEntry& e) const {
    std::vector<uint8_t> out;
    AppendLe(out, e.nid, IdSize());
    AppendLe(out, e.bidData, IdSize());
    AppendLe(out, e.bidSub, IdSize());
    AppendLe(out, e.nidParent, 4);
    if (unicode()) AppendLe(out, 0, 4);
    return out;
}

std::vector<uint8_t> PstBuilder::SerializeBt(const BtEntry& e) const {
    std::vector<uint8_t> out;
    AppendLe(out, e.key, IdSize());
    AppendLe(out, e.bid, IdSize());
    AppendLe(out, e.ib, IdSize());
    return out;
}

PageRef PstBuilder::WritePage(Image& image, BTree tree, uint8_t level,
                              const std::vector<uint8_t>& entries, size_t count, size_t entrySize,
                              PageRef at) {
    const uint64_t bid = at.bid ? at.bid : nextPageBid_++;
    const uint64_t pageSize = PageSize();
    const uint64_t size = std::max<uint64_t>(pageSize, AlignUp(entries.size(), pageSize));
    const uint64_t ib = at.ib ? at.ib : image.Allocate(size, pageSize);
    const size_t area = EntryArea();
    const size_t trailerAt = PageTrailerAt();
    std::vector<uint8_t> page(pageSize, 0);
    std::copy(entries.begin(),
              entries.begin() + static_cast<ptrdiff_t>(std::min(area, entries.size())),
              page.begin());
    // cEnt and cEntMax: a byte each, two in 4 KB pages; then cbEnt and cLevel.
    const size_t countWidth = fourK() ? 2 : 1;
    PutLe(page, area, std::min<size_t>(count, fourK() ? 0xFFFF : 0xFF), countWidth);
    PutLe(page, area + countWidth, PageCapacity(tree, level), countWidth);
    page[area + 2 * countWidth] = static_cast<uint8_t>(entrySize);
    page[area + 2 * countWidth + 1] = level;
    const uint8_t ptype = tree == BTree::Block ? kPtypeBbt : kPtypeNbt;
    page[trailerAt] = ptype;
    page[trailerAt + 1] = ptype;
    PutLe(page, trailerAt + 2, ComputeSignature(ib, bid), 2);
    const uint32_t crc = ComputeCrc(std::span<const uint8_t>(page.data(), trailerAt));
    if (unicode()) {
        PutLe(page, trailerAt + 4, crc, 4);
        PutLe(page, trailerAt + 8, bid, 8);
    } else {
        PutLe(page, trailerAt + 4, bid, 4);
        PutLe(page, trailerAt + 8, crc, 4);
    }
    image.Write(ib, page);
    // Entries that do not fit run on over the page's fields and into the next bytes.
    if (entries.size() > area) image.Write(ib, entries);
    return {ib, bid};
}

PageRef PstBuilder::AddBbtLeaf(const std::vector<BbtEntry>& entries, PageRef at) {
    std::vector<uint8_t> bytes;
    for (const auto& e : entries) {
        auto one = SerializeBbt(e);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return WritePage(image_, BTree::Block, 0, bytes, entries.size(), unicode() ? 24 : 12, at);
}

PageRef PstBuilder::AddNbtLeaf(const std::vector<NbtEntry>& entries, PageRef at) {
    std::vector<uint8_t> bytes;
    for (const auto& e : entries) {
        auto one = SerializeNbt(e);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return WritePage(image_, BTree::Node, 0, bytes, entries.size(), unicode() ? 32 : 16, at);
}

PageRef PstBuilder::AddBtPage(BTree tree, uint8_t level, const std::vector<BtEntry>& entries,
                              PageRef at) {
    std::vector<uint8_t> bytes;
    for (const auto& e : entries) {
        auto one = SerializeBt(e);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return WritePage(image_, tree, level, bytes, entries.size(), 3 * IdSize(), at);
}

PageRef PstBuilder::ReservePage() {
    const uint64_t ib = image_.Allocate(PageSize(), PageSize());
    return {ib, nextPageBid_++};
}

void PstBuilder::SetRoot(BTree tree, PageRef root) {
    manualRoot_[static_cast<int>(tree)] = root;
}

uint64_t PstBuilder::PlaceRaw(std::span<const uint8_t> bytes, size_t alignment) {
    const uint64_t at = image_.Allocate(std::max<uint64_t>(bytes.size(), 1), alignment);
    image_.Write(at, bytes);
    return at;
}

PageRef PstBuilder::BuildAutoTree(Image& image, BTree tree) {
    struct Child {
        uint64_t key;
        PageRef page;
    };
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> leafEntries;
    size_t entrySize = 0;
    if (tree == BTree::Block) {
        std::vector<BbtEntry> sorted = bbt_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const BbtEntry& a, const BbtEntry& b) { return a.bid < b.bid; });
        for (const auto& e : sorted) leafEntries.push_back({e.bid, SerializeBbt(e)});
        entrySize = unicode() ? 24 : 12;
    } else {
        std::vector<NbtEntry> sorted = nbt_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const NbtEntry& a, const NbtEntry& b) { return a.nid < b.nid; });
        for (const auto& e : sorted) leafEntries.push_back({e.nid, SerializeNbt(e)});
        entrySize = unicode() ? 32 : 16;
    }

    std::vector<Child> level;
    const size_t perLeaf = EntriesPerPage(tree, 0);
    for (size_t i = 0; i < leafEntries.size() || (i == 0 && leafEntries.empty()); i += perLeaf) {
        std::vector<uint8_t> bytes;
        const size_t end = std::min(leafEntries.size(), i + perLeaf);
        for (size_t k = i; k < end; ++k)
            bytes.insert(bytes.end(), leafEntries[k].second.begin(), leafEntries[k].second.end());
        const uint64_t firstKey = leafEntries.empty() ? 0 : leafEntries[i].first;
        PageRef page = WritePage(image, tree, 0, bytes, end - i, entrySize, {});
        builtPages_.push_back({tree, 0, page.ib, page.bid, firstKey, end - i});
        level.push_back({firstKey, page});
        if (leafEntries.empty()) break;
    }
    uint8_t depth = 0;
    while (level.size() > 1) {
        ++depth;
        const size_t per = EntriesPerPage(tree, depth);
        std::vector<Child> next;
        for (size_t i = 0; i < level.size(); i += per) {
            std::vector<uint8_t> bytes;
            const size_t end = std::min(level.size(), i + per);
            for (size_t k = i; k < end; ++k) {
                auto one = SerializeBt({level[k].key, level[k].page.bid, level[k].page.ib});
                bytes.insert(bytes.end(), one.begin(), one.end());
            }
            PageRef page = WritePage(image, tree, depth, bytes, end - i, 3 * IdSize(), {});
            builtPages_.push_back({tree, depth, page.ib, page.bid, level[i].key, end - i});
            next.push_back({level[i].key, page});
        }
        level = std::move(next);
    }
    return level.front().page;
}

std::vector<BuiltPage> PstBuilder::BuiltPages(BTree tree, uint8_t level) const {
    std::vector<BuiltPage> out;
    for (const auto& p : builtPages_)
        if (p.tree == tree && p.level == level) out.push_back(p);
    return out;
}

// --- Allocation maps and header ---

void PstBuilder::WriteAllocationMaps(Image& image, uint64_t fileEnd, uint64_t& lastAMap,
                                     uint64_t& freeBytes) const {
    const size_t trailerAt = unicode() ? 496 : 500;
    freeBytes = 0;
    for (uint64_t amap = kFirstAMap; amap < fileEnd; amap += kAMapSpan) {
        std::vector<uint8_t> page(kPageSize, 0);
        std::vector<bool> bits(496 * 8, false);
        auto mark = [&](uint64_t ib, uint64_t size) {
            const uint64_t from = std::max(ib, amap), to = std::min(ib + size, amap + kAMapSpan);
            for (uint64_t at = from; at < to; at += 64) bits[(at - amap) / 64] = true;
        };
        for (const auto& p : image.used) mark(p.ib, p.size);
        for (uint64_t p = amap; p < amap + kAMapSpan; p += kPageSize)
            if (IsMapPage(p)) mark(p, kPageSize);
        for (size_t i = 0; i < bits.size(); ++i) {
            // The first 64 bytes of the range are the high bit of the first byte.
            if (bits[i])
                page[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
            else
                freeBytes += 64;
        }
        page[trailerAt] = kPtypeAMap;
        page[trailerAt + 1] = kPtypeAMap;
        const uint32_t crc = ComputeCrc(std::span<const uint8_t>(page.data(), trailerAt));
        if (unicode()) {
            PutLe(page, trailerAt + 4, crc, 4);
            PutLe(page, trailerAt + 8, amap, 8);
        } else {
            PutLe(page, trailerAt + 4, amap, 4);
            PutLe(page, trailerAt + 8, crc, 4);
        }
        image.Write(amap, page);
        lastAMap = amap;
    }
    // PMap pages are no longer used by readers; they are kept all-set, as Outlook leaves them.
    for (uint64_t pmap = kFirstPMap; pmap < fileEnd; pmap += kPMapSpan) {
        std::vector<uint8_t> page(kPageSize, 0);
        std::fill(page.begin(), page.begin() + 496, 0xFF);
        page[trailerAt] = kPtypePMap;
        page[trailerAt + 1] = kPtypePMap;
        const uint32_t crc = ComputeCrc(std::span<const uint8_t>(page.data(), trailerAt));
        if (unicode()) {
            PutLe(page, trailerAt + 4, crc, 4);
            PutLe(page, trailerAt + 8, pmap, 8);
        } else {
            PutLe(page, trailerAt + 4, pmap, 4);
            PutLe(page, trailerAt + 8, crc, 4);
        }
        image.Write(pmap, page);
    }
}

void PstBuilder::WriteHeader(Image& image, PageRef bbtRoot, PageRef nbtRoot, uint64_t fileEof,
                             uint64_t lastAMap, uint64_t freeBytes) const {
    std::vector<uint8_t> h(unicode() ? 564 : 512, 0);
    h[0] = '!';
    h[1] = 'B';
    h[2] = 'D';
    h[3] = 'N';
    h[8] = 'S';
    h[9] = 'M';
    if (fourK()) h[9] = 'O';  // offline stores are what Outlook writes in this layout
    PutLe(h, 10, header_.wVer.value_or(fourK() ? 36 : unicode() ? 23 : 14), 2);
    PutLe(h, 12, 19, 2);  // wVerClient
    h[14] = 1;            // bPlatformCreate
    h[15] = 1;            // bPlatformAccess

    // Next free index per NID type, at least 0x400 as in a fresh file.
    uint32_t rgnid[32];
    std::fill(std::begin(rgnid), std::end(rgnid), 0x400u);
    for (const auto& n : nbt_) {
        const uint32_t nid = static_cast<uint32_t>(n.nid);
        rgnid[nid & 0x1F] = std::max(rgnid[nid & 0x1F], (nid >> 5) + 1);
    }
    const uint64_t bidNextB = nextBidIndex_ << 2;
    const uint8_t fAMapValid = header_.allocationMaps ? 2 : 0;
    const uint8_t crypt = header_.cryptMethod.value_or(cryptMethod_);
    size_t root = 0, fm = 0, sentinel = 0;
    if (unicode()) {
        PutLe(h, 32, nextPageBid_, 8);  // bidNextP
        PutLe(h, 40, nbt_.size(), 4);   // dwUnique
        for (int i = 0; i < 32; ++i) PutLe(h, 44 + 4 * i, rgnid[i], 4);
        root = 180;
        PutLe(h, root + 4, fileEof, 8);
        PutLe(h, root + 12, lastAMap, 8);
        PutLe(h, root + 20, freeBytes, 8);
        PutLe(h, root + 28, 0, 8);
        PutLe(h, root + 36, nbtRoot.bid, 8);
        PutLe(h, root + 44, nbtRoot.ib, 8);
        PutLe(h, root + 52, bbtRoot.bid, 8);
        PutLe(h, root + 60, bbtRoot.ib, 8);
        h[root + 68] = fAMapValid;
        fm = 256;
        sentinel = 512;
        PutLe(h, 516, bidNextB, 8);
    } else {
        PutLe(h, 24, bidNextB, 4);
        PutLe(h, 28, nextPageBid_, 4);
        PutLe(h, 32, nbt_.size(), 4);
        for (int i = 0; i < 32; ++i) PutLe(h, 36 + 4 * i, rgnid[i], 4);
        root = 164;
        PutLe(h, root + 4, fileEof, 4);
        PutLe(h, root + 8, lastAMap, 4);
        PutLe(h, root + 12, freeBytes, 4);
        PutLe(h, root + 16, 0, 4);
        PutLe(h, root + 20, nbtRoot.bid, 4);
        PutLe(h, root + 24, nbtRoot.ib, 4);
        PutLe(h, root + 28, bbtRoot.bid, 4);
        PutLe(h, root + 32, bbtRoot.ib, 4);
        h[root + 36] = fAMapValid;
        fm = 204;
        sentinel = 460;
    }
    std::fill(h.begin() + static_cast<ptrdiff_t>(fm), h.begin() + static_cast<ptrdiff_t>(fm + 256),
              0xFF);  // rgbFM and rgbFP, no longer used
    h[sentinel] = 0x80;
    h[sentinel + 1] = crypt;
    PutLe(h, 4, ComputeCrc(std::span<const uint8_t>(h.data() + 8, 471)), 4);
    if (unicode()) PutLe(h, 524, ComputeCrc(std::span<const uint8_t>(h.data() + 8, 516)), 4);
    image.Write(0, h);
}

std::vector<uint8_t> PstBuilder::Build() {
    Image image = image_;
    const uint64_t savedPageBid = nextPageBid_;
    builtPages_.clear();
    PageRef roots[2];
    for (BTree tree : {BTree::Block, BTree::Node}) {
        const int i = static_cast<int>(tree);
        roots[i] = manualRoot_[i] ? *manualRoot_[i] : BuildAutoTree(image, tree);
    }

    uint64_t end = AlignUp(image.cursor, PageSize());
    uint64_t lastAMap = 0, freeBytes = 0;
    if (header_.allocationMaps) {
        // Like Outlook, the file always ends where an AMap's range ends.
        end = kFirstAMap + AlignUp(std::max<uint64_t>(end - kFirstAMap, 1), kAMapSpan);
        image.bytes.resize(end, 0);
        WriteAllocationMaps(image, end, lastAMap, freeBytes);
    }
    image.bytes.resize(std::max<uint64_t>(end, image.bytes.size()), 0);
    WriteHeader(image, roots[0], roots[1], header_.fileEof.value_or(image.bytes.size()), lastAMap,
                freeBytes);
    for (const auto& [offset, bytes] : patches_) image.Write(offset, bytes);
    // Auto-tree page BIDs are taken afresh by every Build.
    nextPageBid_ = savedPageBid;
    return std::move(image.bytes);
}

void PstBuilder::Patch(uint64_t offset, std::vector<uint8_t> bytes) {
    patches_.emplace_back(offset, std::move(bytes));
}

void PstBuilder::PatchLe(uint64_t offset, uint64_t value, size_t width) {
    std::vector<uint8_t> bytes;
    AppendLe(bytes, value, width);
    Patch(offset, std::move(bytes));
}

void PstBuilder::WriteTo(const std::filesystem::path& path) {
    const std::vector<uint8_t> image = Build();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace kestrel::test

#pragma once
// A small map of where a PST file keeps each structure, read straight from the bytes and
// independently of the reader under test: every B-tree page with its parent, every block
// with its byte range and the block-tree pages that lead to it, every node with the
// node-tree pages that lead to its entry. The damage tests use it to tell which items a
// damaged byte range can touch. It trusts a sound file's counts (cEnt, cLevel) and stops
// at anything odd; every walk is bounded.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <vector>

namespace kestrel::test {

// The bytes [begin, end) of a file.
struct ByteRange {
    uint64_t begin = 0;
    uint64_t end = 0;
    bool Overlaps(const ByteRange& other) const { return begin < other.end && other.begin < end; }
};

inline bool AnyOverlap(const std::vector<ByteRange>& a, const std::vector<ByteRange>& b) {
    for (const ByteRange& x : a) {
        for (const ByteRange& y : b) {
            if (x.Overlaps(y)) return true;
        }
    }
    return false;
}

struct MapPage {
    uint64_t ib = 0;
    bool nodeTree = false;
    uint8_t level = 0;   // 0: leaf
    uint16_t count = 0;  // cEnt
    uint16_t maxCount = 0;
    uint8_t entrySize = 0;
    std::optional<uint64_t> parent;  // ib of the page that names this one; none for a root
};

struct MapBlock {
    uint64_t bid = 0;
    uint64_t ib = 0;
    uint16_t cb = 0;
    uint16_t cbInflated = 0;   // above cb: stored deflated (4 KB-page files)
    uint64_t leafPage = 0;     // ib of the block-tree leaf holding its entry
    uint64_t entryOffset = 0;  // file offset of that entry
};

struct MapNode {
    uint32_t nid = 0;
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
    uint32_t nidParent = 0;
    uint64_t leafPage = 0;
    uint64_t entryOffset = 0;
};

class PstMap {
  public:
    static constexpr int kMaxLevels = 8;

    // The map of a sound file; none when the header names no variant or no tree root.
    static std::optional<PstMap> Read(std::span<const uint8_t> image) {
        PstMap map;
        map.image_ = image;
        const auto version = map.U16(10);
        if (!version) return std::nullopt;
        if (*version == 23 || *version == 36) {
            map.unicode = true;
            map.fourK = *version == 36;
        } else if (*version == 14 || *version == 15) {
            map.unicode = false;
        } else {
            return std::nullopt;
        }
        map.cryptMethod = map.U8(map.unicode ? 513 : 461).value_or(0);
        const auto nbt = map.Id(map.unicode ? 224 : 188);
        const auto bbt = map.Id(map.unicode ? 240 : 196);
        if (!nbt || !bbt) return std::nullopt;
        map.WalkPage(*bbt, false, std::nullopt, 0);
        map.WalkPage(*nbt, true, std::nullopt, 0);
        map.blockRoot = *bbt;
        map.nodeRoot = *nbt;
        return map;
    }

    bool unicode = true;
    bool fourK = false;  // 4 KB pages, 512-byte block slots, deflated blocks
    uint8_t cryptMethod = 0;
    uint64_t blockRoot = 0;
    uint64_t nodeRoot = 0;
    std::map<uint64_t, MapPage> pages;    // by file offset
    std::map<uint64_t, MapBlock> blocks;  // by BID with bit 0 cleared; the first entry wins
    std::map<uint32_t, MapNode> nodes;    // by NID; the first entry wins

    size_t IdSize() const { return unicode ? 8 : 4; }
    size_t BlockTrailerSize() const { return fourK ? 24 : unicode ? 16 : 12; }
    size_t BlockAlignment() const { return fourK ? 512 : 64; }
    size_t PageSize() const { return fourK ? 4096 : 512; }
    // The bytes of a page that hold entries; cEnt and the rest follow.
    size_t EntryAreaSize() const { return fourK ? 4056 : unicode ? 488 : 496; }
    size_t PageTrailerPos() const { return fourK ? 4072 : unicode ? 496 : 500; }
    // The block-tree entry's cb field, and the inflated size after it (4 KB pages).
    size_t EntryCbPos() const { return 2 * IdSize(); }
    uint64_t FileSize() const { return image_.size(); }

    static bool IsInternal(uint64_t bid) { return (bid & 2) != 0; }

    const MapBlock* Block(uint64_t bid) const {
        auto it = blocks.find(bid & ~uint64_t{1});
        return it == blocks.end() ? nullptr : &it->second;
    }
    const MapNode* Node(uint32_t nid) const {
        auto it = nodes.find(nid);
        return it == nodes.end() ? nullptr : &it->second;
    }

    // Where a block lies in the file: its data and trailer, rounded up to the alignment.
    ByteRange BlockRange(const MapBlock& block) const {
        const uint64_t align = BlockAlignment();
        const uint64_t size = (block.cb + BlockTrailerSize() + align - 1) / align * align;
        return {block.ib, block.ib + size};
    }

    static bool IsCompressed(const MapBlock& block) { return block.cbInflated > block.cb; }

    // The page and the pages above it, up to the root.
    std::vector<ByteRange> PagePath(uint64_t ib) const {
        std::vector<ByteRange> path;
        std::optional<uint64_t> at = ib;
        for (int i = 0; at && i <= kMaxLevels; ++i) {
            path.push_back({*at, *at + PageSize()});
            auto it = pages.find(*at);
            if (it == pages.end()) break;
            at = it->second.parent;
        }
        return path;
    }

    // Every byte range a reader goes through to get the block's contents: its block-tree
    // path, the block itself and, for a data tree or a subnode block, all it lists.
    std::vector<ByteRange> BlockFootprint(uint64_t bid) const {
        std::vector<ByteRange> ranges;
        std::set<uint64_t> seen;
        AddBlock(bid, ranges, seen, 0);
        return ranges;
    }

    // The header, the node's node-tree path, its data and its subnodes.
    std::vector<ByteRange> NodeFootprint(uint32_t nid) const {
        std::vector<ByteRange> ranges{HeaderRange()};
        const MapNode* node = Node(nid);
        if (!node) return ranges;
        std::vector<ByteRange> path = PagePath(node->leafPage);
        ranges.insert(ranges.end(), path.begin(), path.end());
        std::set<uint64_t> seen;
        AddBlock(node->bidData, ranges, seen, 0);
        AddBlock(node->bidSub, ranges, seen, 0);
        return ranges;
    }

    // The node-tree paths of the node and of every folder above it: what decides where
    // the node hangs.
    std::vector<ByteRange> AncestryFootprint(uint32_t nid) const {
        std::vector<ByteRange> ranges{HeaderRange()};
        std::set<uint32_t> seen;
        for (const MapNode* node = Node(nid); node && seen.insert(node->nid).second;
             node = Node(node->nidParent)) {
            std::vector<ByteRange> path = PagePath(node->leafPage);
            ranges.insert(ranges.end(), path.begin(), path.end());
            if (node->nidParent == node->nid || seen.size() > 64) break;
        }
        return ranges;
    }

    // The whole footprints of the folders above the node: what the walk reads on its way
    // down to it.
    std::vector<ByteRange> FoldersAboveFootprint(uint32_t nid) const {
        std::vector<ByteRange> ranges;
        std::set<uint32_t> seen{nid};
        const MapNode* node = Node(nid);
        for (int i = 0; node && i < 64 && node->nidParent != node->nid; ++i) {
            node = Node(node->nidParent);
            if (!node || !seen.insert(node->nid).second) break;
            std::vector<ByteRange> footprint = NodeFootprint(node->nid);
            ranges.insert(ranges.end(), footprint.begin(), footprint.end());
        }
        return ranges;
    }

    ByteRange HeaderRange() const { return {0, unicode ? 564u : 516u}; }

    // Blocks whose contents are a heap's first page: the data block of a node or a
    // subnode, or the first leaf of its data tree. Sorted by BID.
    std::vector<uint64_t> HeapStartBlocks() const {
        std::set<uint64_t> starts;
        std::set<uint64_t> seen;
        for (const auto& [nid, node] : nodes) {
            AddHeapStart(node.bidData, starts);
            CollectSubnodeStarts(node.bidSub, starts, seen, 0);
        }
        return {starts.begin(), starts.end()};
    }

    // Internal blocks that are data trees (XBLOCK or XXBLOCK).
    std::vector<uint64_t> DataTreeBlocks() const {
        std::vector<uint64_t> trees;
        for (const auto& [bid, block] : blocks) {
            if (!IsInternal(bid)) continue;
            if (Contents(block).U8(0) == 1) trees.push_back(bid);
        }
        return trees;
    }

    // Contents of a block as stored (undecoded); empty when it lies past the end.
    std::span<const uint8_t> BlockBytes(const MapBlock& block) const {
        if (block.ib >= image_.size()) return {};
        return image_.subspan(block.ib, std::min<uint64_t>(block.cb, image_.size() - block.ib));
    }

    // An internal block's bytes as a reader sees them: a deflated one inflated (nothing when
    // it does not inflate).
    struct Bytes {
        std::vector<uint8_t> data;
        std::optional<uint8_t> U8(size_t at) const {
            return at < data.size() ? std::optional<uint8_t>(data[at]) : std::nullopt;
        }
        std::optional<uint64_t> Le(size_t at, size_t width) const {
            if (at > data.size() || width > data.size() - at) return std::nullopt;
            uint64_t value = 0;
            for (size_t i = 0; i < width; ++i) value |= uint64_t{data[at + i]} << (8 * i);
            return value;
        }
    };
    Bytes Contents(const MapBlock& block) const {
        Bytes out;
        const std::span<const uint8_t> stored = BlockBytes(block);
        if (!IsCompressed(block)) {
            out.data.assign(stored.begin(), stored.end());
            return out;
        }
        out.data.resize(block.cbInflated);
        uLongf size = block.cbInflated;
        if (uncompress(out.data.data(), &size, stored.data(), stored.size()) != Z_OK ||
            size != block.cbInflated)
            out.data.clear();
        return out;
    }

  private:
    std::optional<uint8_t> U8(uint64_t at) const {
        if (at >= image_.size()) return std::nullopt;
        return image_[at];
    }
    std::optional<uint64_t> Le(uint64_t at, size_t width) const {
        if (at > image_.size() || width > image_.size() - at) return std::nullopt;
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) value |= uint64_t{image_[at + i]} << (8 * i);
        return value;
    }
    std::optional<uint16_t> U16(uint64_t at) const {
        auto v = Le(at, 2);
        return v ? std::optional<uint16_t>(static_cast<uint16_t>(*v)) : std::nullopt;
    }
    std::optional<uint64_t> Id(uint64_t at) const { return Le(at, IdSize()); }

    void WalkPage(uint64_t ib, bool nodeTree, std::optional<uint64_t> parent, int depth) {
        if (depth > kMaxLevels || pages.count(ib) || ib + PageSize() > image_.size()) return;
        const uint64_t meta = ib + EntryAreaSize();
        const uint8_t ptype = U8(ib + PageTrailerPos()).value_or(0);
        if (ptype != (nodeTree ? 0x81 : 0x80)) return;
        const size_t countWidth = fourK ? 2 : 1;
        MapPage page;
        page.ib = ib;
        page.nodeTree = nodeTree;
        page.count = static_cast<uint16_t>(Le(meta, countWidth).value_or(0));
        page.maxCount = static_cast<uint16_t>(Le(meta + countWidth, countWidth).value_or(0));
        page.entrySize = U8(meta + 2 * countWidth).value_or(0);
        page.level = U8(meta + 2 * countWidth + 1).value_or(0);
        page.parent = parent;
        if (page.entrySize == 0 || size_t{page.count} * page.entrySize > EntryAreaSize()) return;
        pages[ib] = page;
        const size_t width = IdSize();
        for (size_t i = 0; i < page.count; ++i) {
            const uint64_t at = ib + i * page.entrySize;
            if (page.level > 0) {
                // key, BREF (bid, ib)
                if (auto child = Id(at + 2 * width)) WalkPage(*child, nodeTree, ib, depth + 1);
            } else if (nodeTree) {
                MapNode node;
                node.nid = static_cast<uint32_t>(Le(at, 4).value_or(0));
                node.bidData = Id(at + width).value_or(0);
                node.bidSub = Id(at + 2 * width).value_or(0);
                node.nidParent = static_cast<uint32_t>(Le(at + 3 * width, 4).value_or(0));
                node.leafPage = ib;
                node.entryOffset = at;
                nodes.emplace(node.nid, node);
            } else {
                MapBlock block;
                block.bid = Id(at).value_or(0) & ~uint64_t{1};
                block.ib = Id(at + width).value_or(0);
                block.cb = U16(at + 2 * width).value_or(0);
                block.cbInflated = fourK ? U16(at + 2 * width + 2).value_or(0) : block.cb;
                block.leafPage = ib;
                block.entryOffset = at;
                blocks.emplace(block.bid, block);
            }
        }
    }

    void AddBlock(uint64_t bid, std::vector<ByteRange>& ranges, std::set<uint64_t>& seen,
                  int depth) const {
        if (bid == 0 || depth > 16 || !seen.insert(bid & ~uint64_t{1}).second) return;
        const MapBlock* block = Block(bid);
        if (!block) return;
        std::vector<ByteRange> path = PagePath(block->leafPage);
        ranges.insert(ranges.end(), path.begin(), path.end());
        ranges.push_back(BlockRange(*block));
        if (!IsInternal(block->bid)) return;
        const Bytes bytes = Contents(*block);
        const size_t size = bytes.data.size();
        const uint8_t btype = bytes.U8(0).value_or(0);
        const uint8_t level = bytes.U8(1).value_or(0);
        const size_t count = bytes.Le(2, 2).value_or(0);
        const size_t width = IdSize();
        if (btype == 1) {
            for (size_t i = 0; i < count && 8 + (i + 1) * width <= size; ++i)
                AddBlock(bytes.Le(8 + i * width, width).value_or(0), ranges, seen, depth + 1);
        } else if (btype == 2) {
            const size_t header = unicode ? 8 : 4;
            const size_t entry = (level == 0 ? 3 : 2) * width;
            for (size_t i = 0; i < count && header + (i + 1) * entry <= size; ++i) {
                const size_t at = header + i * entry;
                AddBlock(bytes.Le(at + width, width).value_or(0), ranges, seen, depth + 1);
                if (level == 0)
                    AddBlock(bytes.Le(at + 2 * width, width).value_or(0), ranges, seen, depth + 1);
            }
        }
    }

    void AddHeapStart(uint64_t bid, std::set<uint64_t>& starts) const {
        const MapBlock* block = Block(bid);
        if (!block) return;
        if (!IsInternal(block->bid)) {
            starts.insert(block->bid);
            return;
        }
        // The first leaf of an XBLOCK.
        const Bytes bytes = Contents(*block);
        if (bytes.U8(0) == 1 && bytes.U8(1) == 1 && bytes.Le(2, 2).value_or(0) > 0) {
            if (const MapBlock* first = Block(bytes.Le(8, IdSize()).value_or(0))) {
                if (!IsInternal(first->bid)) starts.insert(first->bid);
            }
        }
    }

    void CollectSubnodeStarts(uint64_t bid, std::set<uint64_t>& starts, std::set<uint64_t>& seen,
                              int depth) const {
        const MapBlock* block = Block(bid);
        if (!block || depth > 16 || !seen.insert(block->bid).second) return;
        const Bytes bytes = Contents(*block);
        if (bytes.U8(0) != 2) return;
        const uint8_t level = bytes.U8(1).value_or(0);
        const size_t count = bytes.Le(2, 2).value_or(0);
        const size_t width = IdSize();
        const size_t header = unicode ? 8 : 4;
        const size_t entry = (level == 0 ? 3 : 2) * width;
        for (size_t i = 0; i < count && header + (i + 1) * entry <= bytes.data.size(); ++i) {
            const size_t at = header + i * entry;
            if (level == 0) {
                AddHeapStart(bytes.Le(at + width, width).value_or(0), starts);
                CollectSubnodeStarts(bytes.Le(at + 2 * width, width).value_or(0), starts, seen,
                                     depth + 1);
            } else {
                CollectSubnodeStarts(bytes.Le(at + width, width).value_or(0), starts, seen,
                                     depth + 1);
            }
        }
    }

    std::span<const uint8_t> image_;
};

}  // namespace kestrel::test

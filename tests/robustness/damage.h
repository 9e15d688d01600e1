#pragma once
// Damaged copies of a PST file, derived in memory and deterministic by seed: the same
// file always gives the same copies, each with the byte ranges its damage touched. The
// damage suite, the copy writer for the peer comparison and the fuzzing seeds all use
// these, so that a damaged copy named here is the same copy everywhere.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "robustness/pst_map.h"
#include "storage/crc.h"
#include "pstwrite/pst_builder.h"

namespace kestrel::test {

enum class DamageKind {
    Truncate,             // the file cut short
    ZeroBbtPage,          // one block-tree page all zeros
    ZeroNbtPage,          // one node-tree page all zeros
    FlipDataBytes,        // bytes flipped inside data blocks
    SelfParent,           // node-tree entries naming themselves as parent
    CyclicParents,        // folders that are each other's parents
    DuplicateNid,         // node-tree entries sharing a NID or a data block with another
    XBlockSelf,           // a data tree listing itself
    SubnodeSelf,          // a subnode block listing itself as an entry's subnodes
    GarbagePageTail,      // the unused entries of a B-tree page filled with garbage
    BrokenHeapSignature,  // a heap's signature or client signature byte changed
    BadBbtEntries,        // block-tree entries with cb 0xFFFF or offsets past the end
    LastTenth,            // the last tenth of the file overwritten with garbage
    ZeroAllBTreePages,    // every B-tree page zeroed, the live ones and the stale ones
    ZeroRootOffsets,      // both of the header's root offsets zeroed
    RandomBTreeTail,      // garbage from the first B-tree page on, where they end the file
    LyingInflatedSize,    // deflated blocks whose block-tree entry gives a wrong inflated size
};

inline std::string_view DamageKindName(DamageKind kind) {
    switch (kind) {
        case DamageKind::Truncate:
            return "truncate";
        case DamageKind::ZeroBbtPage:
            return "zero-bbt-page";
        case DamageKind::ZeroNbtPage:
            return "zero-nbt-page";
        case DamageKind::FlipDataBytes:
            return "flip-data-bytes";
        case DamageKind::SelfParent:
            return "self-parent";
        case DamageKind::CyclicParents:
            return "cyclic-parents";
        case DamageKind::DuplicateNid:
            return "duplicate-nid";
        case DamageKind::XBlockSelf:
            return "xblock-self";
        case DamageKind::SubnodeSelf:
            return "subnode-self";
        case DamageKind::GarbagePageTail:
            return "garbage-page-tail";
        case DamageKind::BrokenHeapSignature:
            return "broken-heap-signature";
        case DamageKind::BadBbtEntries:
            return "bad-bbt-entries";
        case DamageKind::LastTenth:
            return "last-tenth";
        case DamageKind::ZeroAllBTreePages:
            return "zero-all-btree-pages";
        case DamageKind::ZeroRootOffsets:
            return "zero-root-offsets";
        case DamageKind::RandomBTreeTail:
            return "random-btree-tail";
        case DamageKind::LyingInflatedSize:
            return "lying-inflated-size";
    }
    return "unknown";
}

struct DamagedCopy {
    std::string name;  // "<stem>.<kind>-<variant>"
    DamageKind kind = DamageKind::Truncate;
    std::vector<uint8_t> bytes;
    std::vector<ByteRange> damaged;  // every byte changed or cut off
};

// The copies of one file. Make(i) derives copy i (none when the file has nothing that
// damage applies to, a file without data trees for XBlockSelf, say).
class DamageSet {
  public:
    struct Plan {
        DamageKind kind;
        int variant;
    };

    DamageSet(std::span<const uint8_t> image, std::string stem)
        : image_(image), stem_(std::move(stem)), map_(PstMap::Read(image)) {
        const std::pair<DamageKind, int> counts[] = {
            {DamageKind::Truncate, 10},           {DamageKind::ZeroBbtPage, 4},
            {DamageKind::ZeroNbtPage, 4},         {DamageKind::FlipDataBytes, 4},
            {DamageKind::SelfParent, 2},          {DamageKind::CyclicParents, 2},
            {DamageKind::DuplicateNid, 3},        {DamageKind::XBlockSelf, 2},
            {DamageKind::SubnodeSelf, 1},         {DamageKind::GarbagePageTail, 3},
            {DamageKind::BrokenHeapSignature, 3}, {DamageKind::BadBbtEntries, 3},
            {DamageKind::LastTenth, 1},           {DamageKind::ZeroAllBTreePages, 1},
            {DamageKind::ZeroRootOffsets, 1},     {DamageKind::RandomBTreeTail, 1},
            {DamageKind::LyingInflatedSize, 3},
        };
        for (const auto& [kind, count] : counts) {
            for (int v = 0; v < count; ++v) plans_.push_back({kind, v});
        }
    }

    const std::optional<PstMap>& map() const { return map_; }
    size_t size() const { return plans_.size(); }
    const Plan& plan(size_t i) const { return plans_[i]; }

    std::optional<DamagedCopy> Make(size_t i) const {
        const Plan& p = plans_.at(i);
        DamagedCopy copy;
        copy.kind = p.kind;
        copy.name =
            stem_ + "." + std::string(DamageKindName(p.kind)) + "-" + std::to_string(p.variant);
        copy.bytes.assign(image_.begin(), image_.end());
        Random random(Seed(copy.name));
        if (!map_) {
            // Nothing to aim at: only the blind kinds apply.
            if (p.kind != DamageKind::Truncate && p.kind != DamageKind::LastTenth)
                return std::nullopt;
        }
        Deriver d{*this, copy, random, p.variant};
        if (!d.Apply()) return std::nullopt;
        return copy;
    }

  private:
    class Random {
      public:
        explicit Random(uint64_t seed) : engine_(seed) {}
        // A value in [0, n); n > 0. Not uniform to the last bit, deterministic everywhere.
        uint64_t Below(uint64_t n) { return engine_() % n; }
        uint8_t Byte() { return static_cast<uint8_t>(engine_()); }
        uint8_t NonZeroByte() { return static_cast<uint8_t>(1 + engine_() % 255); }
        template <typename T>
        const T& Pick(const std::vector<T>& items) {
            return items[Below(items.size())];
        }
        // k distinct indexes of [0, n), in random order.
        std::vector<size_t> Distinct(size_t n, size_t k) {
            std::vector<size_t> all(n);
            for (size_t i = 0; i < n; ++i) all[i] = i;
            for (size_t i = 0; i + 1 < n; ++i) std::swap(all[i], all[i + Below(n - i)]);
            all.resize(std::min(n, k));
            return all;
        }

      private:
        std::mt19937_64 engine_;
    };

    static uint64_t Seed(std::string_view name) {
        uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
        for (unsigned char c : name) hash = (hash ^ c) * 0x100000001b3ull;
        return hash;
    }

    struct Deriver {
        const DamageSet& set;
        DamagedCopy& copy;
        Random& random;
        int variant;

        const PstMap& map() const { return *set.map_; }
        uint64_t size() const { return copy.bytes.size(); }

        void Write(uint64_t at, std::span<const uint8_t> bytes) {
            if (at >= size()) return;
            const uint64_t n = std::min<uint64_t>(bytes.size(), size() - at);
            std::copy_n(bytes.begin(), n, copy.bytes.begin() + static_cast<ptrdiff_t>(at));
            copy.damaged.push_back({at, at + n});
        }
        void WriteLe(uint64_t at, uint64_t value, size_t width) {
            std::array<uint8_t, 8> bytes{};
            for (size_t i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
            Write(at, std::span<const uint8_t>(bytes.data(), width));
        }
        void Fill(uint64_t at, uint64_t count, bool zero) {
            std::vector<uint8_t> bytes(count);
            if (!zero)
                for (uint8_t& b : bytes) b = random.Byte();
            Write(at, bytes);
        }

        std::vector<const MapPage*> Pages(bool nodeTree, std::optional<uint8_t> level) const {
            std::vector<const MapPage*> out;
            for (const auto& [ib, page] : map().pages) {
                if (page.nodeTree == nodeTree && (!level || page.level == *level))
                    out.push_back(&page);
            }
            return out;
        }
        std::vector<const MapNode*> Nodes(uint32_t type) const {
            std::vector<const MapNode*> out;
            for (const auto& [nid, node] : map().nodes) {
                if ((nid & 0x1F) == type) out.push_back(&node);
            }
            return out;
        }
        uint64_t NodeField(const MapNode& node, int field) const {
            return node.entryOffset + static_cast<uint64_t>(field) * map().IdSize();
        }
        void SetParent(const MapNode& node, uint32_t parent) {
            WriteLe(NodeField(node, 3), parent, 4);
        }

        bool Apply() {
            switch (copy.kind) {
                case DamageKind::Truncate:
                    return Truncate();
                case DamageKind::ZeroBbtPage:
                    return ZeroPage(false);
                case DamageKind::ZeroNbtPage:
                    return ZeroPage(true);
                case DamageKind::FlipDataBytes:
                    return FlipDataBytes();
                case DamageKind::SelfParent:
                    return SelfParent();
                case DamageKind::CyclicParents:
                    return CyclicParents();
                case DamageKind::DuplicateNid:
                    return DuplicateNid();
                case DamageKind::XBlockSelf:
                    return XBlockSelf();
                case DamageKind::SubnodeSelf:
                    return SubnodeSelf();
                case DamageKind::GarbagePageTail:
                    return GarbagePageTail();
                case DamageKind::BrokenHeapSignature:
                    return BrokenHeapSignature();
                case DamageKind::BadBbtEntries:
                    return BadBbtEntries();
                case DamageKind::LastTenth:
                    return LastTenth();
                case DamageKind::ZeroAllBTreePages:
                    return ZeroAllBTreePages();
                case DamageKind::ZeroRootOffsets:
                    return ZeroRootOffsets();
                case DamageKind::RandomBTreeTail:
                    return RandomBTreeTail();
                case DamageKind::LyingInflatedSize:
                    return LyingInflatedSize();
            }
            return false;
        }

        bool Truncate() {
            if (size() < 2) return false;
            uint64_t cut;
            if (variant == 0) {
                cut = size() - 1;
            } else if (variant == 1) {
                cut = size() / 2 / map().PageSize() * map().PageSize();  // on a page edge
            } else {
                cut = 1 + random.Below(size() - 1);
            }
            copy.damaged.push_back({cut, size()});
            copy.bytes.resize(cut);
            return true;
        }

        bool ZeroPage(bool nodeTree) {
            std::vector<const MapPage*> pages = Pages(nodeTree, std::nullopt);
            if (pages.empty()) return false;
            const MapPage* page = nullptr;
            if (variant == 0) {
                // The root.
                for (const MapPage* p : pages)
                    if (!p->parent) page = p;
            } else {
                std::vector<const MapPage*> others;
                for (const MapPage* p : pages)
                    if (p->parent) others.push_back(p);
                if (others.empty()) return false;
                // One order for all variants of the kind, so that each takes its own page
                // where there are enough.
                Random shared(Seed(set.stem_ + (nodeTree ? ".nbt" : ".bbt")));
                const std::vector<size_t> order = shared.Distinct(others.size(), others.size());
                page = others[order[static_cast<size_t>(variant - 1) % order.size()]];
            }
            if (!page) return false;
            Fill(page->ib, map().PageSize(), true);
            return true;
        }

        bool FlipDataBytes() {
            std::vector<const MapBlock*> data;
            for (const auto& [bid, block] : map().blocks) {
                if (!PstMap::IsInternal(bid) && block.cb > 0 && block.ib + block.cb <= size())
                    data.push_back(&block);
            }
            if (data.empty()) return false;
            const size_t blocks = size_t{1} << variant;  // 1, 2, 4, 8
            for (size_t index : random.Distinct(data.size(), blocks)) {
                const MapBlock& block = *data[index];
                const uint64_t flips = 1 + random.Below(4);
                for (uint64_t i = 0; i < flips; ++i) {
                    const uint64_t at = block.ib + random.Below(block.cb);
                    const uint8_t b = copy.bytes[at] ^ random.NonZeroByte();
                    Write(at, std::span<const uint8_t>(&b, 1));
                }
            }
            return true;
        }

        bool SelfParent() {
            // A folder other than the root (which is its own parent in a sound file), or a
            // message.
            std::vector<const MapNode*> nodes = Nodes(variant == 0 ? 2 : 4);
            std::erase_if(nodes, [](const MapNode* n) { return n->nidParent == n->nid; });
            if (nodes.empty()) return false;
            const MapNode& node = *random.Pick(nodes);
            SetParent(node, node.nid);
            return true;
        }

        bool CyclicParents() {
            std::vector<const MapNode*> folders = Nodes(2);
            std::erase_if(folders, [](const MapNode* n) { return n->nidParent == n->nid; });
            if (variant == 0) {
                if (folders.size() < 2) return false;
                const std::vector<size_t> two = random.Distinct(folders.size(), 2);
                SetParent(*folders[two[0]], folders[two[1]]->nid);
                SetParent(*folders[two[1]], folders[two[0]]->nid);
                return true;
            }
            // A folder made the child of one of its own subfolders.
            std::vector<std::pair<const MapNode*, const MapNode*>> pairs;
            for (const MapNode* child : folders) {
                const MapNode* parent = map().Node(child->nidParent);
                if (parent && parent->nidParent != parent->nid) pairs.push_back({parent, child});
            }
            if (pairs.empty()) return false;
            const auto& [parent, child] = random.Pick(pairs);
            SetParent(*parent, child->nid);
            return true;
        }

        bool DuplicateNid() {
            std::vector<const MapNode*> nodes;
            for (const auto& [nid, node] : map().nodes) nodes.push_back(&node);
            if (nodes.size() < 3) return false;
            if (variant == 0) {
                // The next entry of the same page takes the NID of the one before it.
                std::vector<std::pair<const MapNode*, const MapNode*>> neighbours;
                for (size_t i = 1; i < nodes.size(); ++i) {
                    if (nodes[i]->leafPage == nodes[i - 1]->leafPage)
                        neighbours.push_back({nodes[i - 1], nodes[i]});
                }
                if (neighbours.empty()) return false;
                const auto& [first, second] = random.Pick(neighbours);
                WriteLe(NodeField(*second, 0), first->nid, 4);
                return true;
            }
            std::vector<const MapNode*> messages = Nodes(4);
            if (messages.size() < 2) messages = nodes;
            const std::vector<size_t> two = random.Distinct(messages.size(), 2);
            const MapNode& a = *messages[two[0]];
            const MapNode& b = *messages[two[1]];
            if (variant == 1) {
                // b takes a's NID, keeping its own blocks.
                WriteLe(NodeField(b, 0), a.nid, 4);
            } else {
                // b takes a's data block: two nodes on one block.
                WriteLe(NodeField(b, 1), a.bidData, map().IdSize());
            }
            return true;
        }

        bool XBlockSelf() {
            std::vector<uint64_t> trees = map().DataTreeBlocks();
            std::erase_if(trees,
                          [&](uint64_t bid) { return PstMap::IsCompressed(*map().Block(bid)); });
            if (trees.empty()) return false;
            const MapBlock& tree = *map().Block(random.Pick(trees));
            const uint64_t count = ReadLe(tree.ib + 2, 2);
            if (count == 0) return false;
            const uint64_t entry = variant == 0 ? 0 : count - 1;
            WriteLe(tree.ib + 8 + entry * map().IdSize(), tree.bid, map().IdSize());
            return true;
        }

        bool SubnodeSelf() {
            std::vector<const MapBlock*> leaves;
            for (const auto& [bid, block] : map().blocks) {
                if (PstMap::IsInternal(bid) && !PstMap::IsCompressed(block) &&
                    ReadLe(block.ib, 1) == 2 && ReadLe(block.ib + 1, 1) == 0 &&
                    ReadLe(block.ib + 2, 2) > 0)
                    leaves.push_back(&block);
            }
            if (leaves.empty()) return false;
            const MapBlock& block = *random.Pick(leaves);
            const uint64_t count = ReadLe(block.ib + 2, 2);
            const size_t width = map().IdSize();
            const uint64_t at =
                block.ib + (map().unicode ? 8 : 4) + random.Below(count) * 3 * width;
            WriteLe(at + 2 * width, block.bid, width);
            return true;
        }

        bool GarbagePageTail() {
            std::vector<const MapPage*> pages;
            for (const auto& [ib, page] : map().pages) {
                const bool wanted = variant == 0   ? !page.nodeTree && page.level == 0
                                    : variant == 1 ? page.nodeTree && page.level == 0
                                                   : true;
                if (wanted && size_t{page.count} * page.entrySize < map().EntryAreaSize())
                    pages.push_back(&page);
            }
            if (pages.empty()) return false;
            const MapPage& page = *random.Pick(pages);
            const uint64_t used = uint64_t{page.count} * page.entrySize;
            Fill(page.ib + used, map().EntryAreaSize() - used, false);
            return true;
        }

        bool BrokenHeapSignature() {
            std::vector<uint64_t> heaps;
            for (uint64_t bid : map().HeapStartBlocks()) {
                const MapBlock& block = *map().Block(bid);
                if (block.cb < 4 || block.ib + 4 > size()) continue;
                std::array<uint8_t, 4> head{};
                std::copy_n(copy.bytes.begin() + static_cast<ptrdiff_t>(block.ib), 4, head.begin());
                DecodeBlockData(map().cryptMethod, block.bid, head);
                if (head[2] == 0xEC) heaps.push_back(bid);
            }
            if (heaps.empty()) return false;
            const size_t count = variant == 0 ? 1 : variant == 1 ? 2 : 4;
            for (size_t index : random.Distinct(heaps.size(), count)) {
                const MapBlock& block = *map().Block(heaps[index]);
                // The stored byte changed changes the decoded one: every encoding is a
                // byte-for-byte bijection.
                const uint64_t at = block.ib + 2 + random.Below(2);
                const uint8_t b = copy.bytes[at] ^ random.NonZeroByte();
                Write(at, std::span<const uint8_t>(&b, 1));
            }
            return true;
        }

        bool BadBbtEntries() {
            std::vector<const MapBlock*> entries;
            for (const auto& [bid, block] : map().blocks) entries.push_back(&block);
            if (entries.empty()) return false;
            const size_t width = map().IdSize();
            for (size_t index : random.Distinct(entries.size(), 1 + random.Below(3))) {
                const MapBlock& block = *entries[index];
                if (variant != 1) WriteLe(block.entryOffset + 2 * width, 0xFFFF, 2);
                if (variant != 0) {
                    const uint64_t past = size() + random.Below(1u << 20);
                    WriteLe(block.entryOffset + width, past, width);
                }
            }
            return true;
        }

        bool LastTenth() {
            if (size() < 10) return false;
            const uint64_t from = size() - size() / 10;
            Fill(from, size() - from, false);
            return true;
        }

        // The pages of both trees that the trees still name, and the old copies that nothing
        // names any more: whatever carries a B-tree page trailer that checks.
        bool ZeroAllBTreePages() {
            const bool unicode = map().IdSize() == 8;
            const size_t trailerAt = map().PageTrailerPos();
            const size_t bidAt = trailerAt + (unicode ? 8 : 4);
            const size_t pageSize = map().PageSize();
            std::vector<uint64_t> pages;
            for (const auto& [ib, page] : map().pages) pages.push_back(ib);
            const auto& image = set.image_;
            for (uint64_t ib = 0; ib + pageSize <= image.size(); ib += pageSize) {
                const uint8_t ptype = image[ib + trailerAt];
                if ((ptype != 0x80 && ptype != 0x81) || image[ib + trailerAt + 1] != ptype)
                    continue;
                const uint64_t bid = ReadLe(ib + bidAt, map().IdSize());
                if (ReadLe(ib + trailerAt + 2, 2) == ComputeSig(ib, bid)) pages.push_back(ib);
            }
            if (pages.empty()) return false;
            for (uint64_t ib : pages) Fill(ib, pageSize, true);
            return true;
        }

        bool ZeroRootOffsets() {
            const bool unicode = map().IdSize() == 8;
            WriteLe(unicode ? 224 : 188, 0, map().IdSize());
            WriteLe(unicode ? 240 : 196, 0, map().IdSize());
            return true;
        }

        // Writers that put the B-tree pages after the data they index (generated files)
        // lose all of them to a damaged tail, and nothing else.
        bool RandomBTreeTail() {
            uint64_t first = size();
            for (const auto& [ib, page] : map().pages) first = std::min(first, ib);
            if (first < size() / 2 || first >= size()) return false;
            Fill(first, size() - first, false);
            return true;
        }

        // Variant 0 says a deflated block inflates to one byte more, 1 to one byte less, 2 to
        // less than its stored size.
        bool LyingInflatedSize() {
            std::vector<const MapBlock*> deflated;
            for (const auto& [bid, block] : map().blocks)
                if (PstMap::IsCompressed(block)) deflated.push_back(&block);
            if (deflated.empty()) return false;
            for (size_t index : random.Distinct(deflated.size(), 1 + random.Below(3))) {
                const MapBlock& block = *deflated[index];
                const uint16_t lie = variant == 0   ? static_cast<uint16_t>(block.cbInflated + 1)
                                     : variant == 1 ? static_cast<uint16_t>(block.cbInflated - 1)
                                                    : static_cast<uint16_t>(block.cb - 1);
                WriteLe(block.entryOffset + map().EntryCbPos() + 2, lie, 2);
            }
            return true;
        }

        uint64_t ReadLe(uint64_t at, size_t width) const {
            uint64_t value = 0;
            for (size_t i = 0; i < width && at + i < size(); ++i)
                value |= uint64_t{copy.bytes[at + i]} << (8 * i);
            return value;
        }
    };

    std::span<const uint8_t> image_;
    std::string stem_;
    std::optional<PstMap> map_;
    std::vector<Plan> plans_;
};

}  // namespace kestrel::test

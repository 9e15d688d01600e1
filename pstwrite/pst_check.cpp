#include "pstwrite/pst_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "items/item_context.h"
#include "items/node_item.h"
#include "items/property_parser.h"
#include "storage/block_inflate.h"
#include "storage/btree_loader.h"
#include "storage/byte_reader.h"
#include "storage/crc.h"
#include "storage/pst_context.h"
#include "storage/pst_layout.h"

namespace kestrel::pstwrite {

namespace {

constexpr uint64_t kFirstAMap = 0x4400;
constexpr int kMaxDepth = 8;
constexpr size_t kFirstFew = 5;
constexpr uint32_t kRootFolder = 0x122;

class Findings {
  public:
    void Add(const std::string& kind, std::string what) {
        Kind& k = kinds_[kind];
        ++k.count;
        if (k.first.size() < kFirstFew) k.first.push_back(std::move(what));
    }
    bool empty() const { return kinds_.empty(); }
    uint64_t total() const {
        uint64_t n = 0;
        for (const auto& [name, k] : kinds_) n += k.count;
        return n;
    }
    const std::map<std::string, CheckKind>& kinds() const { return kinds_; }

  private:
    using Kind = CheckKind;
    std::map<std::string, Kind> kinds_;
};

struct BlockEntry {
    uint64_t ib = 0;
    uint32_t cb = 0;
    uint32_t inflated = 0;  // above cb: the block is stored deflated
};
struct NodeEntry {
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
    uint32_t parent = 0;
};

class Checker {
  public:
    explicit Checker(int fd, uint64_t size) : fd_(fd), size_(size) {}

    Findings problems;
    Findings notes;
    PstVariant variant = PstVariant::Unknown;

    void Run(const std::string& path) {
        if (!Header()) return;
        WalkTree(true, bbtRoot_.second, bbtRoot_.first);
        WalkTree(false, nbtRoot_.second, nbtRoot_.first);
        Blocks();
        AllocationMaps();
        References();
        Parents();
        Mandatory();
        Tables(path);
    }

  private:
    std::vector<uint8_t> Read(uint64_t offset, size_t count) {
        std::vector<uint8_t> bytes(count);
        if (offset >= size_) return {};
        const ssize_t n = ::pread(fd_, bytes.data(), count, static_cast<off_t>(offset));
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return bytes;
    }

    bool Header() {
        const std::vector<uint8_t> h = Read(0, 564);
        const ByteReader r(h);
        if (h.size() < 512 || std::memcmp(h.data(), "!BDN", 4) != 0) {
            problems.Add("header", "no \"!BDN\" magic at the start");
            if (h.size() < 512) return false;
        }
        variant = VariantFromVersion(r.U16(10).value_or(0), r.U16(8).value_or(0));
        layout_ = PstLayout::For(variant);
        if (!layout_) {
            problems.Add("header", fmt::format("unknown version {}", r.U16(10).value_or(0)));
            return false;
        }
        if (r.U32(4) != PstCrc(h.data() + 8, 471))
            problems.Add("header", "partial CRC (dwCRCPartial) does not match");
        // The 4 KB-page layout keeps the Unicode header.
        const bool unicode = variant != PstVariant::Ansi;
        if (unicode && (h.size() < 564 || r.U32(524) != PstCrc(h.data() + 8, 516)))
            problems.Add("header", "full CRC (dwCRCFull) does not match");
        const size_t root = unicode ? 180 : 164;
        const size_t w = layout_->idSize;
        fileEof_ = r.UInt(root + 4, w).value_or(0);
        amapLast_ = r.UInt(root + (unicode ? 12 : 8), w).value_or(0);
        amapFree_ = r.UInt(root + (unicode ? 20 : 12), w).value_or(0);
        nbtRoot_ = {r.UInt(root + (unicode ? 36 : 20), w).value_or(0),
                    r.UInt(root + (unicode ? 44 : 24), w).value_or(0)};
        bbtRoot_ = {r.UInt(root + (unicode ? 52 : 28), w).value_or(0),
                    r.UInt(root + (unicode ? 60 : 32), w).value_or(0)};
        amapValid_ = r.U8(root + (unicode ? 68 : 36)).value_or(0);
        const uint8_t crypt = r.U8(unicode ? 513 : 461).value_or(0xFF);
        if (crypt > 2) problems.Add("header", fmt::format("unknown encoding {}", crypt));
        if (fileEof_ > size_)
            problems.Add("header",
                         fmt::format("ibFileEof {} is past the file's end {}", fileEof_, size_));
        return true;
    }

    // Trailer of the page at ib: type, signature, CRC and BID.
    bool PageTrailer(const std::vector<uint8_t>& page, uint64_t ib, uint8_t ptype, uint64_t bid,
                     bool signed_) {
        const ByteReader r(page);
        const size_t t = layout_->pageTrailerPos;
        if (page.size() < layout_->pageSize) {
            problems.Add("pages", fmt::format("page at {} is cut short", ib));
            return false;
        }
        bool ok = true;
        if (r.U8(t) != ptype || r.U8(t + 1) != ptype) {
            problems.Add("pages", fmt::format("page at {}: type {:#x}, expected {:#x}", ib,
                                              r.U8(t).value_or(0), ptype));
            return false;
        }
        if (r.U32(t + layout_->trailerCrcPos) != PstCrc(page.data(), t)) {
            problems.Add("pages", fmt::format("page at {}: CRC does not match", ib));
            ok = false;
        }
        if (r.UInt(t + layout_->trailerBidPos, layout_->idSize) != bid) {
            problems.Add("pages", fmt::format("page at {}: BID does not match its reference", ib));
            ok = false;
        }
        if (signed_ && r.U16(t + 2) != ComputeSig(ib, bid)) {
            problems.Add("pages", fmt::format("page at {}: signature does not match", ib));
            ok = false;
        }
        return ok;
    }

    void WalkTree(bool blocks, uint64_t rootIb, uint64_t rootBid) {
        struct Visit {
            uint64_t ib, bid;
            int depth;
            int level;  // expected, -1 at the root
            uint64_t firstKey, bound;
            bool hasFirst;
        };
        std::vector<Visit> stack{{rootIb, rootBid, 0, -1, 0, UINT64_MAX, false}};
        const char* tree = blocks ? "block tree" : "node tree";
        const uint64_t maxPages = size_ / layout_->pageSize + 1;
        uint64_t pages = 0;
        uint64_t lastLeafKey = 0;
        bool anyLeaf = false;
        while (!stack.empty() && pages++ < maxPages) {
            const Visit v = stack.back();
            stack.pop_back();
            if (!visitedPages_.insert(v.ib).second) {
                problems.Add("btree", fmt::format("{}: page at {} is listed twice", tree, v.ib));
                continue;
            }
            pagesUsed_.push_back(v.ib);
            const std::vector<uint8_t> page = Read(v.ib, layout_->pageSize);
            if (!PageTrailer(page, v.ib, blocks ? 0x80 : 0x81, v.bid, true)) continue;
            const ByteReader r(page);
            const size_t area = layout_->entryAreaSize;
            const size_t pcs = layout_->pageCountSize;
            const size_t count = r.UInt(area, pcs).value_or(0),
                         max = r.UInt(area + pcs, pcs).value_or(0),
                         size = r.U8(area + 2 * pcs).value_or(0),
                         level = r.U8(area + 2 * pcs + 1).value_or(0);
            if (v.level >= 0 && static_cast<int>(level) != v.level) {
                problems.Add("btree", fmt::format("{}: page at {} has level {}, expected {}", tree,
                                                  v.ib, level, v.level));
                continue;
            }
            const size_t expected = level > 0 ? layout_->intermediateEntrySize
                                    : blocks  ? layout_->blockLeafEntrySize
                                              : layout_->nodeLeafEntrySize;
            if (size != expected || count > max || count * size > area || v.depth > kMaxDepth) {
                problems.Add("btree", fmt::format("{}: page at {} has a bad entry count or size",
                                                  tree, v.ib));
                continue;
            }
            bool stale = false;
            for (size_t i = count * size; i < std::min(area, max * size) && !stale; ++i)
                stale = page[i] != 0;
            if (stale)
                notes.Add("stale entries",
                          fmt::format("{}: page at {} keeps entries past its count", tree, v.ib));
            const size_t w = layout_->idSize;
            std::vector<uint64_t> keys;
            for (size_t i = 0; i < count; ++i) keys.push_back(r.UInt(i * size, w).value_or(0));
            for (size_t i = 0; i < count; ++i) {
                const bool orderOk = (i == 0 || keys[i] > keys[i - 1]) && keys[i] < v.bound &&
                                     !(i == 0 && v.hasFirst && keys[0] != v.firstKey);
                if (!orderOk) {
                    problems.Add("btree", fmt::format("{}: page at {}: key {:#x} out of order",
                                                      tree, v.ib, keys[i]));
                    break;
                }
            }
            if (level > 0) {
                for (size_t i = count; i-- > 0;) {
                    const uint64_t bid = r.UInt(i * size + w, w).value_or(0);
                    const uint64_t ib = r.UInt(i * size + 2 * w, w).value_or(0);
                    stack.push_back({ib, bid, v.depth + 1, static_cast<int>(level) - 1, keys[i],
                                     i + 1 < count ? keys[i + 1] : v.bound, true});
                }
                continue;
            }
            for (size_t i = 0; i < count; ++i) {
                const size_t at = i * size;
                if (anyLeaf && keys[i] <= lastLeafKey)
                    problems.Add("btree",
                                 fmt::format("{}: key {:#x} repeats or goes back", tree, keys[i]));
                anyLeaf = true;
                lastLeafKey = keys[i];
                if (blocks) {
                    blocks_[keys[i] & ~uint64_t{1}] = {
                        r.UInt(at + layout_->blockLeafIbPos, w).value_or(0),
                        r.U16(at + layout_->blockLeafCbPos).value_or(0),
                        layout_->blockLeafInflatedPos == 0
                            ? 0u
                            : r.U16(at + layout_->blockLeafInflatedPos).value_or(0)};
                } else {
                    nodes_[static_cast<uint32_t>(keys[i])] = {
                        r.UInt(at + layout_->nodeLeafDataPos, w).value_or(0),
                        r.UInt(at + layout_->nodeLeafSubPos, w).value_or(0),
                        r.U32(at + layout_->nodeLeafParentPos).value_or(0)};
                }
            }
        }
    }

    uint64_t SlotSize(uint32_t cb) const {
        const uint64_t align = layout_->blockAlignment;
        return (cb + layout_->blockTrailerSize + align - 1) / align * align;
    }

    void Blocks() {
        for (const auto& [bid, entry] : blocks_) {
            if (entry.cb > layout_->maxBlockData) {
                problems.Add("blocks",
                             fmt::format("block {:#x}: size {} is too large", bid, entry.cb));
                continue;
            }
            const uint64_t slot = SlotSize(entry.cb);
            const std::vector<uint8_t> bytes = Read(entry.ib, slot);
            if (bytes.size() < slot) {
                problems.Add("blocks",
                             fmt::format("block {:#x} at {} is past the end", bid, entry.ib));
                continue;
            }
            const ByteReader r(bytes);
            const size_t t = slot - layout_->blockTrailerSize;
            if (r.U16(t) != entry.cb)
                problems.Add("blocks", fmt::format("block {:#x}: trailer size differs", bid));
            else if (r.U16(t + 2) != ComputeSig(entry.ib, bid))
                problems.Add("blocks", fmt::format("block {:#x}: signature does not match", bid));
            else if (r.U32(t + layout_->trailerCrcPos) != PstCrc(bytes.data(), entry.cb))
                problems.Add("blocks", fmt::format("block {:#x}: CRC does not match", bid));
            else if ((r.UInt(t + layout_->trailerBidPos, layout_->idSize).value_or(0) &
                      ~uint64_t{1}) != bid)
                problems.Add("blocks", fmt::format("block {:#x}: trailer names another BID", bid));
        }
    }

    // AMaps: every 496 * 8 * 64 bytes from 0x4400 in 512-byte pages, a bit per 64 bytes (in
    // the Ansi layout the 496 bytes of bits follow 4 bytes of padding); in the 4 KB-page
    // layout every 4072 * 8 * 512 bytes from 0x22000, a bit per 512 bytes, the bits filling
    // the page up to its trailer.
    void AllocationMaps() {
        const bool wide = variant == PstVariant::Unicode4k;
        const uint64_t first = wide ? 0x22000 : kFirstAMap;
        const uint64_t unit = wide ? 512 : 64;
        const size_t padding = variant == PstVariant::Ansi ? 4 : 0;
        const size_t bitmap = layout_->pageTrailerPos - padding;
        const uint64_t span = bitmap * 8 * unit;
        std::vector<std::vector<uint8_t>> maps;
        uint64_t free = 0, last = 0;
        for (uint64_t amap = first; amap < std::min(fileEof_, size_); amap += span) {
            std::vector<uint8_t> page = Read(amap, layout_->pageSize);
            if (!PageTrailer(page, amap, 0x84, amap, false)) {
                maps.emplace_back();
                continue;
            }
            page.erase(page.begin(), page.begin() + static_cast<ptrdiff_t>(padding));
            page.resize(bitmap);
            for (size_t bit = 0; bit < bitmap * 8; ++bit)
                if (!(page[bit / 8] & (0x80 >> (bit % 8)))) free += unit;
            maps.push_back(std::move(page));
            last = amap;
        }
        if (amapValid_ == 0) {
            notes.Add("allocation maps", "fAMapValid is 0: the maps are not claimed valid");
            return;
        }
        if (last != amapLast_)
            problems.Add("allocation maps",
                         fmt::format("ibAMapLast is {}, the last AMap is at {}", amapLast_, last));
        if (free != amapFree_)
            problems.Add("allocation maps",
                         fmt::format("cbAMapFree is {}, the maps free {}", amapFree_, free));
        auto covered = [&](uint64_t ib, uint64_t size) {
            for (uint64_t at = ib; at < ib + size; at += unit) {
                if (at < first) return false;
                const uint64_t index = (at - first) / span;
                const uint64_t bit = (at - first) % span / unit;
                if (index >= maps.size() || maps[index].empty()) return false;
                if (!(maps[index][bit / 8] & (0x80 >> (bit % 8)))) return false;
            }
            return true;
        };
        for (const auto& [bid, entry] : blocks_)
            if (!covered(entry.ib, SlotSize(entry.cb)))
                problems.Add(
                    "allocation maps",
                    fmt::format("block {:#x} at {} is not marked allocated", bid, entry.ib));
        for (uint64_t ib : pagesUsed_)
            if (!covered(ib, layout_->pageSize))
                problems.Add("allocation maps",
                             fmt::format("B-tree page at {} is not marked allocated", ib));
    }

    // Follows data trees and subnode trees from every node; reports what they name and the
    // index lacks, and the blocks nothing names.
    void References() {
        std::unordered_set<uint64_t> reached;
        std::vector<std::pair<uint64_t, uint32_t>> work;  // bid, owning node
        for (const auto& [nid, node] : nodes_) {
            for (uint64_t bid : {node.bidData, node.bidSub})
                if (bid) work.emplace_back(bid & ~uint64_t{1}, nid);
        }
        const size_t w = layout_->idSize;
        while (!work.empty()) {
            const auto [bid, nid] = work.back();
            work.pop_back();
            auto it = blocks_.find(bid);
            if (it == blocks_.end()) {
                problems.Add(
                    "references",
                    fmt::format("node {:#x} names block {:#x}, which is not indexed", nid, bid));
                continue;
            }
            if (!reached.insert(bid).second) continue;
            if (!(bid & 2)) continue;  // a data block: nothing below it
            std::vector<uint8_t> bytes = Read(it->second.ib, it->second.cb);
            if (it->second.inflated > it->second.cb) {
                std::vector<uint8_t> inflated;
                if (!InflateBlock(bytes, it->second.inflated, inflated)) {
                    problems.Add("blocks", fmt::format("block {:#x} does not inflate", bid));
                    continue;
                }
                bytes = std::move(inflated);
            }
            const ByteReader r(bytes);
            const uint8_t type = r.U8(0).value_or(0), level = r.U8(1).value_or(0);
            const size_t count = r.U16(2).value_or(0);
            if (type == 0x01) {
                for (size_t i = 0; i < count; ++i) {
                    const auto child = r.UInt(layout_->dataTreeHeaderSize + i * w, w);
                    if (!child) break;
                    work.emplace_back(*child & ~uint64_t{1}, nid);
                }
            } else if (type == 0x02) {
                const size_t entry = level == 0 ? layout_->subnodeLeafEntrySize
                                                : layout_->subnodeIntermediateEntrySize;
                for (size_t i = 0; i < count; ++i) {
                    const size_t at = layout_->subnodeHeaderSize + i * entry;
                    for (size_t f = 1; f < (level == 0 ? 3u : 2u); ++f) {
                        const auto child = r.UInt(at + f * w, w);
                        if (child && *child) work.emplace_back(*child & ~uint64_t{1}, nid);
                    }
                }
            } else {
                problems.Add("references",
                             fmt::format("node {:#x}: internal block {:#x} is neither a data tree "
                                         "nor a subnode block",
                                         nid, bid));
            }
        }
        for (const auto& [bid, entry] : blocks_)
            if (!reached.count(bid))
                notes.Add("unreferenced blocks",
                          fmt::format("block {:#x} at {} is named by no node", bid, entry.ib));
    }

    void Parents() {
        for (const auto& [nid, node] : nodes_) {
            const uint32_t type = nid & 0x1F;
            if (node.parent == 0) {
                if (type == 0x02 || type == 0x03 || type == 0x04 || type == 0x08)
                    problems.Add("parents", fmt::format("node {:#x} has no parent", nid));
                continue;
            }
            auto parent = nodes_.find(node.parent);
            if (parent == nodes_.end()) {
                problems.Add("parents", fmt::format("node {:#x}: parent {:#x} is not in the tree",
                                                    nid, node.parent));
                continue;
            }
            const uint32_t parentType = node.parent & 0x1F;
            if ((type == 0x02 || type == 0x04 || type == 0x08) && parentType != 0x02 &&
                parentType != 0x03)
                problems.Add("parents", fmt::format("node {:#x}: parent {:#x} is no folder", nid,
                                                    node.parent));
        }
    }

    void Mandatory() {
        for (uint32_t nid : {0x21u, 0x61u, kRootFolder, 0x12Du, 0x12Eu, 0x12Fu})
            if (!nodes_.count(nid))
                problems.Add("mandatory nodes", fmt::format("node {:#x} is missing", nid));
    }

    // Each folder's hierarchy and contents tables against the folders and messages that
    // name it as their parent.
    void Tables(const std::string& path) {
        PstContext context;
        if (OpenPstFile(context, path) != kOpenOk) return;
        LoadIndexes(context);
        ItemContext items(context);
        std::unordered_map<uint32_t, std::set<uint32_t>> folders, messages;
        for (const auto& [nid, node] : nodes_) {
            if (nid == kRootFolder && node.parent == kRootFolder) continue;
            const uint32_t type = nid & 0x1F;
            if (type == 0x02 || type == 0x03) folders[node.parent].insert(nid);
            if (type == 0x04) messages[node.parent].insert(nid);
        }
        for (const auto& [nid, node] : nodes_) {
            if ((nid & 0x1F) != 0x02) continue;
            const uint32_t index = nid & ~uint32_t{0x1F};
            Compare(context, items, nid, index | 0x0D, folders[nid], "hierarchy");
            Compare(context, items, nid, index | 0x0E, messages[nid], "contents");
        }
    }

    void Compare(PstContext& context, ItemContext& items, uint32_t folder, uint32_t tableNid,
                 const std::set<uint32_t>& children, const char* what) {
        const NodeRecord* table = FindNode(context, tableNid);
        if (!table || !table->dataBlock) {
            if (!children.empty())
                problems.Add("tables", fmt::format("folder {:#x} has no {} table", folder, what));
            return;
        }
        const SubnodeList subnodes = SubnodesOrNothing(context, table->subnodeBlock);
        std::set<uint32_t> rows;
        for (const PropertyGroup& row : ParseNodeProperties(items, table->dataBlock, &subnodes)) {
            for (const PropertyValue& v : row.values)
                if (v.propertyId == 0x67F2 && v.data && v.data->size() >= 4)
                    rows.insert(ByteReader(*v.data).U32(0).value_or(0));
        }
        if (rows != children)
            problems.Add("tables", fmt::format("folder {:#x}: {} table lists {} rows for {} items",
                                               folder, what, rows.size(), children.size()));
    }

    int fd_;
    uint64_t size_;
    const PstLayout* layout_ = nullptr;
    uint64_t fileEof_ = 0, amapLast_ = 0, amapFree_ = 0;
    uint8_t amapValid_ = 0;
    std::pair<uint64_t, uint64_t> nbtRoot_, bbtRoot_;  // bid, ib
    std::unordered_set<uint64_t> visitedPages_;
    std::vector<uint64_t> pagesUsed_;
    std::map<uint64_t, BlockEntry> blocks_;
    std::map<uint32_t, NodeEntry> nodes_;
};

}  // namespace

CheckReport CheckPstFile(const std::string& path) {
    CheckReport report;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        report.openFailure = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return report;
    }
    Checker checker(fd, static_cast<uint64_t>(st.st_size));
    checker.Run(path);
    ::close(fd);
    report.variant = checker.variant;
    report.problems = checker.problems.kinds();
    report.notes = checker.notes.kinds();
    return report;
}

}  // namespace kestrel::pstwrite

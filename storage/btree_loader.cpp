#include "storage/btree_loader.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "storage/byte_reader.h"
#include "storage/nid.h"
#include "storage/page.h"

namespace kestrel {

namespace {

// Sound files have four or five levels; anything deeper is a loop or garbage.
constexpr int kMaxDepth = 16;
constexpr size_t kParentCacheSize = 100;
constexpr uint64_t kFirstBlockKey = 4;

// One walk over one tree: the pages on the current descent, and the pages already walked
// to the end (a damaged tree that names a page twice must not make the walk explode).
class TreeWalker {
  public:
    TreeWalker(PstContext& context, bool nodeTree) : context_(context), nodeTree_(nodeTree) {}

    // pageBid: the BID the parent entry gives the page (0 for a root).
    WalkResult Walk(uint64_t offset, int depth, uint64_t expected, uint64_t bound,
                    uint64_t pageBid = 0);

    // Starts a pass afresh (the root's second pass re-reads pages the first one saw).
    void NewPass() {
        path_.clear();
        done_.clear();
    }

    // Orphans waiting for nidParent, in the order they were read. Entries go stale when a
    // record is placed some other way; adoption checks them.
    std::unordered_map<uint32_t, std::vector<NodeRecord*>> waiting;

    // Live node entries off their page's rising run, in the order they were read.
    std::vector<NodeLeafEntry> suspects;
    // Gives each suspect entry a record of its own once every page is read, when its data
    // block is in the index and no record of that NID already reads that block.
    void TakeSuspects();

    // Places a node entry: its record, its parent or the orphans waiting for it, and the
    // orphans waiting for it in turn.
    void TakeNodeEntry(const NodeLeafEntry& entry, std::vector<NodeRecord*>& parentCache);

    // The depth of the tree's leaf pages, LoadStats::kUnknownDepth until a walk finds it.
    uint8_t leafDepth() const { return leafDepth_; }
    void SetLeafDepth(uint8_t depth) { leafDepth_ = depth; }

  private:
    WalkResult WalkBlockLeaf(const ByteReader& page, size_t liveEntries, uint64_t expected,
                             uint64_t bound, bool vouched);
    WalkResult WalkNodeLeaf(const ByteReader& page, size_t liveEntries, uint64_t expected,
                            uint64_t bound, bool vouched);
    WalkResult WalkInner(const ByteReader& page, size_t liveEntries, int depth, uint64_t expected,
                         uint64_t bound);
    WalkResult WalkChild(uint64_t offset, int depth, uint64_t expected, uint64_t bound,
                         uint64_t pageBid);
    bool VouchesForItself(const ByteReader& bytes, uint64_t pageBid) const;

    // Children of one intermediate page that follow each other in the file, read at once.
    struct PageRun {
        uint64_t start = 0;
        std::vector<uint8_t> bytes;
        bool Holds(uint64_t offset, size_t size) const {
            return offset >= start && offset - start <= bytes.size() &&
                   bytes.size() - (offset - start) >= size;
        }
    };
    // Fills run with the pages of entries first.. of page that lie one after another from
    // the first one's offset (at most kMaxRunBytes); empty when there is no such run or the
    // read fails (each page is then read on its own, as ever).
    void ReadRun(const ByteReader& page, size_t first, size_t count, PageRun& run);

    // The entry's data and subnode blocks as the index has them.
    void SetBlocks(NodeRecord& record, const NodeLeafEntry& entry) const;
    void Place(NodeRecord* record, std::vector<NodeRecord*>& parentCache);
    void Adopt(NodeRecord* parent);

    uint64_t InnerKey(const IntermediateEntry& entry) const {
        // Node keys are NIDs, 32 bits in both layouts; block keys are whole BIDs.
        return nodeTree_ ? static_cast<uint32_t>(entry.key) : entry.key;
    }

    uint32_t& Skipped() {
        return nodeTree_ ? context_.stats.skippedNodeSubtrees : context_.stats.skippedBlockSubtrees;
    }

    PstContext& context_;
    bool nodeTree_;
    uint8_t leafDepth_ = LoadStats::kUnknownDepth;
    bool leafSeen_ = false;  // a leaf page has been walked
    std::vector<uint64_t> path_;
    std::unordered_set<uint64_t> done_;
    // The run the next Walk may take its page from (set by WalkInner for one call).
    const PageRun* ahead_ = nullptr;
};

// A run's size limit: the pages of most intermediate pages' children in one read.
constexpr size_t kMaxRunBytes = 64 * 1024;

constexpr uint64_t kNotAKey = UINT64_MAX;

// A leaf key belongs to its page when it lies from the parent entry's key up to the next
// one's; zero is never a key.
bool InRange(uint64_t key, uint64_t expected, uint64_t bound) {
    return key != 0 && (expected == kNoExpectedKey || key >= expected) && key < bound;
}

// Entries a leaf page can hold: 169 in a 4 KB block-tree leaf, 41 in a 512-byte one.
constexpr size_t kMaxLeafEntries = 256;
using LeafKeys = std::array<uint64_t, kMaxLeafEntries>;
using LeafRun = std::bitset<kMaxLeafEntries>;

// Marks (bit i) the keys among the first n that form the longest strictly rising run
// through a page's live entries (the earliest such run when several are as long; kNotAKey
// is never part of it). A sound leaf rises throughout; a damaged key then costs its own
// entry, not every entry after it.
LeafRun LongestRisingRun(const LeafKeys& keys, size_t n) {
    bool rising = true;
    for (size_t i = 0; i < n && rising; ++i)
        rising = keys[i] != kNotAKey && (i == 0 || keys[i - 1] < keys[i]);
    LeafRun inRun;
    if (rising) {
        for (size_t i = 0; i < n; ++i) inRun.set(i);
        return inRun;
    }

    std::array<uint16_t, kMaxLeafEntries> length{};
    std::array<uint16_t, kMaxLeafEntries> before{};
    constexpr uint16_t kNone = 0xFFFF;
    size_t best = kMaxLeafEntries;
    for (size_t i = 0; i < n; ++i) {
        before[i] = kNone;
        if (keys[i] == kNotAKey) continue;
        length[i] = 1;
        for (size_t j = 0; j < i; ++j) {
            if (length[j] > 0 && keys[j] < keys[i] && length[j] + 1 > length[i]) {
                length[i] = static_cast<uint16_t>(length[j] + 1);
                before[i] = static_cast<uint16_t>(j);
            }
        }
        if (best == kMaxLeafEntries || length[i] > length[best]) best = i;
    }
    for (size_t i = best; i < n; i = before[i] == kNone ? n : before[i]) inRun.set(i);
    return inRun;
}

WalkResult TreeWalker::Walk(uint64_t offset, int depth, uint64_t expected, uint64_t bound,
                            uint64_t pageBid) {
    const PageRun* run = std::exchange(ahead_, nullptr);
    if (context_.Stopped()) return kWalkStopped;
    if (depth >= kMaxDepth) return kWalkFailed;
    // A page already on the way down would make the walk go round for ever.
    if (std::find(path_.begin(), path_.end(), offset) != path_.end()) return kWalkFailed;
    if (done_.count(offset)) return kWalkFailed;

    const size_t pageSize = context_.layout->pageSize;
    std::vector<uint8_t> bytes;
    if (run && run->Holds(offset, pageSize)) {
        const auto at = run->bytes.begin() + static_cast<ptrdiff_t>(offset - run->start);
        bytes.assign(at, at + static_cast<ptrdiff_t>(pageSize));
    } else if (ReadAt(context_, offset, pageSize, bytes) < pageSize) {
        return kWalkFailed;
    }
    if (context_.Stopped()) return kWalkStopped;
    const ByteReader whole(bytes);
    // Entries are taken only where they lie wholly inside the entry area: never from the
    // page metadata or trailer.
    const ByteReader page(bytes.data(), context_.layout->entryAreaSize);

    // The metadata's entry count tells live entries from stale ones past them; the walk
    // still reads every entry of the entry area.
    const size_t liveEntries = ReadBTreePageMetadata(*context_.layout, whole).entryCount;
    if (depth >= leafDepth_) {
        const bool vouched = VouchesForItself(whole, pageBid);
        const WalkResult result = nodeTree_
                                      ? WalkNodeLeaf(page, liveEntries, expected, bound, vouched)
                                      : WalkBlockLeaf(page, liveEntries, expected, bound, vouched);
        if (result != kWalkFailed && !context_.Stopped()) done_.insert(offset);
        return result;
    }
    path_.push_back(offset);
    WalkResult result;
    try {
        result = WalkInner(page, liveEntries, depth, expected, bound);
    } catch (...) {
        path_.pop_back();
        throw;
    }
    path_.pop_back();
    if (result == kWalkInnerDone) done_.insert(offset);
    return result;
}

WalkResult TreeWalker::WalkBlockLeaf(const ByteReader& page, size_t liveEntries, uint64_t expected,
                                     uint64_t bound, bool vouched) {
    const PstLayout& layout = *context_.layout;
    const size_t count =
        std::min(layout.blockLeafMaxEntries, page.size() / layout.blockLeafEntrySize);
    if (count == 0) return kWalkBlockLeafDone;
    const uint64_t first = ReadBlockLeafEntry(layout, page, 0).bid;
    if (first == 0) return kWalkBlockLeafDone;
    if (expected != kNoExpectedKey && first != expected && !vouched) return kWalkFailed;
    leafSeen_ = true;

    const size_t live = std::min({liveEntries, count, kMaxLeafEntries});
    LeafKeys keys;
    for (size_t i = 0; i < live; ++i) {
        const uint64_t bid = ReadBlockLeafEntry(layout, page, i).bid;
        keys[i] = InRange(bid, expected, bound) ? bid : kNotAKey;
    }
    const LeafRun inRun = LongestRisingRun(keys, live);
    uint64_t previous = 0;
    for (size_t i = 0; i < count; ++i) {
        const BlockLeafEntry entry = ReadBlockLeafEntry(layout, page, i);
        const uint64_t bid = entry.bid;
        if (i < live) {
            // A live entry off the rising run has a damaged key: no one looks it up by it.
            if (!inRun.test(i)) continue;
        } else if (bid == 0 || bid < previous || !InRange(bid, expected, bound)) {
            // Stale entries are read while they do not fall (a removal leaves the last
            // entry twice) and stay within the page's key range: an old copy of the next
            // page's entry would shadow the live one. The rest of the page is not trusted.
            break;
        }
        BlockRecord record;
        record.bid = bid;
        record.ib = entry.ib;
        record.cb = entry.cb;
        record.cbInflated = entry.cbInflated;
        context_.blocks.Append(record);
        previous = bid;
    }
    return kWalkBlockLeafDone;
}

// The entries a node-tree leaf gives, in page order: the live ones on the page's rising run
// and the stale ones after them while their NIDs keep rising below the bound. Live entries
// off the run go to suspects.
void SelectNodeLeafEntries(const PstLayout& layout, const ByteReader& page, size_t liveEntries,
                           uint64_t expected, uint64_t bound, std::vector<NodeLeafEntry>& taken,
                           std::vector<NodeLeafEntry>* suspects) {
    const size_t count =
        std::min(layout.nodeLeafMaxEntries, page.size() / layout.nodeLeafEntrySize);
    auto usable = [&](uint32_t nid) { return nid < kHighNid && InRange(nid, expected, bound); };
    const size_t live = std::min({liveEntries, count, kMaxLeafEntries});
    LeafKeys keys;
    for (size_t i = 0; i < live; ++i) {
        const uint32_t nid = ReadNodeLeafEntry(layout, page, i).nid;
        keys[i] = usable(nid) ? nid : kNotAKey;
    }
    const LeafRun inRun = LongestRisingRun(keys, live);

    uint32_t previous = 0;
    for (size_t i = 0; i < count; ++i) {
        const NodeLeafEntry entry = ReadNodeLeafEntry(layout, page, i);
        const uint32_t nid = entry.nid;
        if (i < live) {
            if (!inRun.test(i)) {
                // A live entry whose NID breaks the page's order (a damaged NID, often one
                // that repeats another's) may still lead to a sound item: kept aside until
                // the whole tree is read.
                if (suspects && nid != 0 && nid < kHighNid) suspects->push_back(entry);
                continue;
            }
        } else {
            if (nid == 0) continue;
            // Stale entries are read while their NIDs keep rising below the bound.
            if (!usable(nid) || nid <= previous) break;
        }
        previous = nid;
        taken.push_back(entry);
    }
}

WalkResult TreeWalker::WalkNodeLeaf(const ByteReader& page, size_t liveEntries, uint64_t expected,
                                    uint64_t bound, bool vouched) {
    const PstLayout& layout = *context_.layout;
    const size_t count =
        std::min(layout.nodeLeafMaxEntries, page.size() / layout.nodeLeafEntrySize);
    if (count == 0) return kWalkNodeLeafDone;
    const uint32_t first = ReadNodeLeafEntry(layout, page, 0).nid;
    if (expected != kNoExpectedKey && first != expected && !vouched) return kWalkFailed;
    leafSeen_ = true;

    std::vector<NodeLeafEntry> taken;
    SelectNodeLeafEntries(layout, page, liveEntries, expected, bound, taken, &suspects);
    // Parents found recently in this page: the children of a folder tend to lie together.
    std::vector<NodeRecord*> parentCache;
    // Each entry costs a lookup of its NID and of its two blocks, most of them misses in
    // tables of several MB: started together, they wait for memory side by side (the
    // slots first, then the records they name).
    for (const NodeLeafEntry& entry : taken) {
        context_.nodes.Prefetch(entry.nid);
        context_.blocks.Prefetch(entry.bidData);
        context_.blocks.Prefetch(entry.bidSub);
    }
    for (const NodeLeafEntry& entry : taken) {
        context_.blocks.PrefetchRecord(entry.bidData);
        context_.blocks.PrefetchRecord(entry.bidSub);
    }
    for (const NodeLeafEntry& entry : taken) {
        if (context_.Stopped()) return kWalkStopped;
        TakeNodeEntry(entry, parentCache);
    }
    return kWalkNodeLeafDone;
}

WalkResult TreeWalker::WalkInner(const ByteReader& page, size_t liveEntries, int depth,
                                 uint64_t expected, uint64_t bound) {
    const PstLayout& layout = *context_.layout;
    const size_t count = page.size() / layout.intermediateEntrySize;
    if (count == 0) return kWalkInnerDone;
    if (expected != kNoExpectedKey && InnerKey(ReadIntermediateEntry(layout, page, 0)) != expected)
        return kWalkFailed;

    struct Failed {
        uint64_t offset, key, bound, bid;
        bool live;
    };
    std::vector<Failed> failed;
    // Children that failed before the leaf level was known: read as intermediate pages.
    size_t failedProbing = 0;
    PageRun run;
    for (size_t i = 0; i < count; ++i) {
        const IntermediateEntry entry = ReadIntermediateEntry(layout, page, i);
        uint64_t key = InnerKey(entry);
        if (key == 0) break;
        // Block-tree keys must stay below the parent's bound; node-tree keys are not checked.
        if (!nodeTree_ && key >= bound) break;
        uint64_t next = i + 1 < count ? InnerKey(ReadIntermediateEntry(layout, page, i + 1)) : 0;
        uint64_t childBound = next > key ? next : (nodeTree_ ? kNoKeyBound : bound);
        uint64_t childBid = entry.bid;
        uint64_t child = entry.ib;
        if (context_.Stopped()) return kWalkStopped;
        // A page walked already (a stale entry naming a live page): nothing is lost.
        if (done_.count(child)) continue;

        const bool probing = leafDepth_ == LoadStats::kUnknownDepth;
        WalkResult result;
        try {
            if (!run.Holds(child, context_.layout->pageSize)) ReadRun(page, i, count, run);
            ahead_ = &run;
            result = WalkChild(child, depth + 1, key, childBound, childBid);
        } catch (const FileError&) {
            result = kWalkFailed;
        } catch (const std::bad_alloc&) {
            result = kWalkFailed;
        }
        if (context_.Stopped()) return kWalkStopped;
        // A failed child is skipped, even before the leaf level is known: one damaged page
        // must not make this page pass for a leaf while its other children may check out.
        if (result == kWalkFailed) {
            if (probing && failed.size() == failedProbing) ++failedProbing;
            failed.push_back({child, key, childBound, childBid, i < liveEntries});
        }
    }
    if (!leafSeen_ && !failed.empty() && leafDepth_ == LoadStats::kUnknownDepth) {
        // None of the children checks out as a page: they are leaf entries read as
        // intermediate ones, so this page is the leaf level.
        leafDepth_ = static_cast<uint8_t>(depth);
        return kWalkDepthFound;
    }
    uint32_t damaged = 0;  // failures among the entries the page counts as live
    for (size_t f = 0; f < failed.size(); ++f) {
        const Failed& child = failed[f];
        // A leaf that failed while the walk still took it for an intermediate page (its
        // first key damaged, say) gets its turn as a leaf once a later sibling has shown
        // the leaf level to be right below.
        if (f < failedProbing && child.live && leafDepth_ == depth + 1) {
            WalkResult result = kWalkFailed;
            try {
                result = Walk(child.offset, depth + 1, child.key, child.bound, child.bid);
            } catch (const FileError&) {
            } catch (const std::bad_alloc&) {
            }
            if (context_.Stopped()) return kWalkStopped;
            if (result != kWalkFailed) continue;
        }
        // A stale entry past the live ones may name a page long reused: not damage.
        if (child.live) ++damaged;
    }
    Skipped() += damaged;
    return kWalkInnerDone;
}

void TreeWalker::ReadRun(const ByteReader& page, size_t first, size_t count, PageRun& run) {
    const PstLayout& layout = *context_.layout;
    const size_t pageSize = layout.pageSize;
    run.start = ReadIntermediateEntry(layout, page, first).ib;
    run.bytes.clear();
    size_t pages = 1;
    while (first + pages < count && (pages + 1) * pageSize <= kMaxRunBytes &&
           ReadIntermediateEntry(layout, page, first + pages).ib == run.start + pages * pageSize)
        ++pages;
    if (pages < 2) return;
    try {
        ReadAt(context_, run.start, pages * pageSize, run.bytes);
    } catch (const FileError&) {
        run.bytes.clear();
    }
}

WalkResult TreeWalker::WalkChild(uint64_t offset, int depth, uint64_t expected, uint64_t bound,
                                 uint64_t pageBid) {
    WalkResult result = Walk(offset, depth, expected, bound, pageBid);
    // The leaf level was just found right below: walk the child again as a leaf page.
    if (result == kWalkDepthFound) result = Walk(offset, depth, expected, bound, pageBid);
    return result;
}

// A leaf page whose trailer names it (this tree's page type twice, level 0, and the BID its
// parent entry gives it) is the page the parent meant even when its first key is damaged.
bool TreeWalker::VouchesForItself(const ByteReader& bytes, uint64_t pageBid) const {
    const PstLayout& layout = *context_.layout;
    if (pageBid == 0 || bytes.size() < layout.pageSize) return false;
    const auto type = static_cast<uint8_t>(nodeTree_ ? PageType::NodeTree : PageType::BlockTree);
    const PageTrailer trailer = ReadPageTrailer(layout, bytes);
    return trailer.ptype == type && trailer.ptypeRepeat == type &&
           ReadBTreePageMetadata(layout, bytes).level == 0 && trailer.bid == pageBid;
}

void TreeWalker::SetBlocks(NodeRecord& record, const NodeLeafEntry& entry) const {
    record.dataBid = entry.bidData;
    record.subnodeBid = entry.bidSub;
    record.dataBlock = FindBlock(context_, entry.bidData);
    record.subnodeBlock = FindBlock(context_, entry.bidSub);
    record.subnodeBlockMissing = entry.bidSub != 0 && record.subnodeBlock == nullptr;
}

void TreeWalker::TakeNodeEntry(const NodeLeafEntry& entry, std::vector<NodeRecord*>& parentCache) {
    NodeTree& tree = context_.nodes;
    NodeRecord* record = tree.FindAny(entry.nid);
    if (record) {
        // A NID met again: its blocks follow the later entry, and so does its parent unless
        // it sits at the top.
        SetBlocks(*record, entry);
        bool waitingForParent = !IsLinked(record);
        bool moved = record->parent && record->parent->nid != entry.nidParent;
        record->nidParent = entry.nidParent;
        if (moved) tree.Unlink(record);
        if (waitingForParent || moved) Place(record, parentCache);
    } else {
        record = tree.Create(entry.nid);
        SetBlocks(*record, entry);
        record->nidParent = entry.nidParent;
        Place(record, parentCache);
    }
    Adopt(record);
}

void TreeWalker::Place(NodeRecord* record, std::vector<NodeRecord*>& parentCache) {
    NodeTree& tree = context_.nodes;
    const uint32_t nidParent = record->nidParent;
    if (nidParent == 0 || nidParent == record->nid) {
        tree.AppendTop(record);
        return;
    }
    NodeRecord* parent = nullptr;
    for (NodeRecord* cached : parentCache) {
        if (cached->nid == nidParent) {
            parent = cached;
            break;
        }
    }
    if (!parent) {
        // A parent still waiting for its own parent takes children all the same.
        parent = tree.FindAny(nidParent);
        if (parent) {
            parentCache.insert(parentCache.begin(), parent);
            if (parentCache.size() > kParentCacheSize) parentCache.pop_back();
        }
    }
    if (parent && tree.AppendChild(parent, record)) return;
    waiting[nidParent].push_back(record);
}

void TreeWalker::Adopt(NodeRecord* parent) {
    auto it = waiting.find(parent->nid);
    if (it == waiting.end()) return;
    std::vector<NodeRecord*> orphans = std::move(it->second);
    waiting.erase(it);
    std::vector<NodeRecord*> left;
    for (NodeRecord* orphan : orphans) {
        if (IsLinked(orphan) || orphan->nidParent != parent->nid) continue;  // placed since
        // Refused when parent hangs below the orphan: it keeps waiting.
        if (!context_.nodes.AppendChild(parent, orphan)) left.push_back(orphan);
    }
    if (!left.empty()) waiting[parent->nid] = std::move(left);
}

void TreeWalker::TakeSuspects() {
    NodeTree& tree = context_.nodes;
    std::vector<NodeRecord*> parentCache;
    for (const NodeLeafEntry& entry : suspects) {
        if (context_.Stopped()) return;
        const BlockRecord* data = FindBlock(context_, entry.bidData);
        if (data == nullptr || tree.FindByData(entry.nid, data)) continue;
        NodeRecord* record = tree.Create(entry.nid);
        SetBlocks(*record, entry);
        record->nidParent = entry.nidParent;
        Place(record, parentCache);
    }
    suspects.clear();
}

// Rebuilds the waiting lists from the records a previous walk left unplaced.
void CollectWaiting(PstContext& context, TreeWalker& walker) {
    for (const NodeRecord& record : context.nodes.records()) {
        if (!IsLinked(&record))
            walker.waiting[record.nidParent].push_back(const_cast<NodeRecord*>(&record));
    }
}

// After the last page: a record still waiting is adopted wherever its parent now hangs in
// the tree (for example after the parent itself was moved there by a later entry).
void AdoptLeftOrphans(PstContext& context) {
    NodeTree& tree = context.nodes;
    std::vector<NodeRecord*> left;
    for (const NodeRecord& record : tree.records()) {
        if (!IsLinked(&record)) left.push_back(const_cast<NodeRecord*>(&record));
    }
    // Each round places at least one record or ends; few rounds are ever needed.
    for (int round = 0; round < kMaxDepth && !left.empty(); ++round) {
        std::vector<NodeRecord*> still;
        for (NodeRecord* orphan : left) {
            NodeRecord* parent = tree.Find(orphan->nidParent);
            if (!parent || !tree.AppendChild(parent, orphan)) still.push_back(orphan);
        }
        if (still.size() == left.size()) break;
        left = std::move(still);
    }
}

}  // namespace

// A walk on its own picks up the leaf depth an earlier load found, and reports what it
// finds in turn.
WalkResult WalkBlockTree(PstContext& context, uint64_t pageOffset, int depth, uint64_t expectedKey,
                         uint64_t keyBound) {
    if (!context.layout) return kWalkFailed;
    TreeWalker walker(context, false);
    walker.SetLeafDepth(context.stats.blockLeafDepth);
    const WalkResult result = walker.Walk(pageOffset, depth, expectedKey, keyBound);
    context.stats.blockLeafDepth = walker.leafDepth();
    return result;
}

WalkResult WalkNodeTree(PstContext& context, uint64_t pageOffset, int depth, uint64_t expectedKey,
                        uint64_t keyBound) {
    if (!context.layout) return kWalkFailed;
    TreeWalker walker(context, true);
    walker.SetLeafDepth(context.stats.nodeLeafDepth);
    CollectWaiting(context, walker);
    const WalkResult result = walker.Walk(pageOffset, depth, expectedKey, keyBound);
    context.stats.nodeLeafDepth = walker.leafDepth();
    walker.TakeSuspects();
    return result;
}

LoadResult LoadIndexes(PstContext& context) {
    context.blocks.Clear();
    context.nodes.Clear();
    context.stats = {};
    // No layout, no page size: both indexes stay empty.
    if (!context.layout) return kLoadRootUnreadable;

    TreeWalker blocks(context, false);
    context.blocks.DeferLookup();
    bool rootUnreadable = false;
    try {
        WalkResult result = blocks.Walk(context.blockRootOffset, 0, kNoExpectedKey, kNoKeyBound);
        if (result == kWalkFailed) blocks.SetLeafDepth(0);
        if (result == kWalkFailed || result == kWalkDepthFound) {
            // The root is the only level: it must then start with the first block.
            blocks.NewPass();
            rootUnreadable = blocks.Walk(context.blockRootOffset, 0, kFirstBlockKey,
                                         kNoKeyBound) == kWalkFailed;
        }
    } catch (const FileError&) {
        // Whatever the block tree gave so far is kept; the node tree may still load.
    } catch (const std::bad_alloc&) {
    }
    try {
        context.blocks.BuildDeferredLookup();
    } catch (const std::bad_alloc&) {
        // No lookup: no block is found, as with an empty tree.
    }
    context.stats.blockLeafDepth = blocks.leafDepth();
    if (rootUnreadable) return kLoadRootUnreadable;

    LoadResult outcome = kLoadComplete;
    TreeWalker nodes(context, true);
    try {
        // The smallest NID of a sound node tree is the message store's.
        WalkResult result = nodes.Walk(context.nodeRootOffset, 0, kMessageStoreNid, kNoKeyBound);
        if (result == kWalkFailed) nodes.SetLeafDepth(0);
        if (result == kWalkFailed || result == kWalkDepthFound) {
            nodes.NewPass();
            if (nodes.Walk(context.nodeRootOffset, 0, kMessageStoreNid, kNoKeyBound) == kWalkFailed)
                outcome = kLoadRootUnreadable;
        }
        nodes.TakeSuspects();
    } catch (const FileError&) {
        // The records built so far stay.
    } catch (const std::bad_alloc&) {
    }
    context.stats.nodeLeafDepth = nodes.leafDepth();

    if (!context.Stopped()) AdoptLeftOrphans(context);
    context.stats.orphanNodes =
        static_cast<uint32_t>(context.nodes.CreatedCount() - context.nodes.ReachableCount());
    return outcome;
}

std::vector<NodeLeafEntry> ReadNodeLeafPage(const PstLayout& layout, const ByteReader& page) {
    std::vector<NodeLeafEntry> taken;
    if (page.size() < layout.pageSize) return taken;
    const ByteReader entries(page.data(), layout.entryAreaSize);
    SelectNodeLeafEntries(layout, entries, ReadBTreePageMetadata(layout, page).entryCount,
                          kNoExpectedKey, kNoKeyBound, taken, nullptr);
    return taken;
}

void PlaceNodeEntries(PstContext& context, const std::vector<NodeLeafEntry>& entries) {
    if (!context.layout) return;
    TreeWalker walker(context, true);
    CollectWaiting(context, walker);
    std::vector<NodeRecord*> parentCache;
    for (const NodeLeafEntry& entry : entries) {
        if (context.Stopped()) break;
        walker.TakeNodeEntry(entry, parentCache);
    }
    if (!context.Stopped()) AdoptLeftOrphans(context);
    context.stats.orphanNodes =
        static_cast<uint32_t>(context.nodes.CreatedCount() - context.nodes.ReachableCount());
}

void ResolveNodeBlocks(PstContext& context) {
    for (const NodeRecord& constRecord : context.nodes.records()) {
        auto& record = const_cast<NodeRecord&>(constRecord);
        if (!record.dataBlock) record.dataBlock = FindBlock(context, record.dataBid);
        if (!record.subnodeBlock) record.subnodeBlock = FindBlock(context, record.subnodeBid);
        record.subnodeBlockMissing = record.subnodeBid != 0 && record.subnodeBlock == nullptr;
    }
}

const BlockRecord* FindBlock(const PstContext& context, uint64_t bid) {
    return context.blocks.Find(bid);
}

const NodeRecord* FindNode(const PstContext& context, uint32_t nid) {
    return context.nodes.Find(nid);
}

}  // namespace kestrel

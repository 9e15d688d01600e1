#include "storage/deep_scan.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <unordered_map>

#include "storage/block_reader.h"
#include "storage/block_trailer.h"
#include "storage/btree_loader.h"
#include "storage/byte_reader.h"
#include "storage/nid.h"
#include "storage/page.h"

namespace kestrel {

namespace {

// How much of a file with a damaged header is tried with each layout.
constexpr uint64_t kGuessSpan = 64u << 20;
// External blocks read to tell the encoding.
constexpr size_t kGuessBlocks = 256;
// A heap's signature byte, at offset 2 of its first block.
constexpr uint8_t kHeapSignature = 0xEC;

bool IsLeaf(const ScannedPage& page, PageType type) {
    return page.ptype == static_cast<uint8_t>(type) && page.level == 0;
}

// A block-tree entry whose offset or size is damaged (the block there does not check) while
// the scan found the block whole elsewhere: the entry is mended to the block that checks.
void Repair(PstContext& context, const BlockRecord& live, const ScannedBlock& found,
            IndexCompletion& done) {
    const PstLayout& layout = *context.layout;
    if (live.cb <= layout.maxBlockData) {
        const uint64_t slotEnd = BlockTrailerOffset(layout, live.ib, live.cb);
        std::vector<uint8_t> bytes;
        if (slotEnd != UINT64_MAX && slotEnd >= live.ib) {
            const uint64_t end = slotEnd + layout.blockTrailerSize;
            ReadAt(context, live.ib, static_cast<size_t>(end - live.ib), bytes);
            ScannedBlock there;
            if (CheckBlockTrailer(layout, bytes.data(), bytes.size(), live.ib, end, &there) &&
                BidKey(there.bid) == BidKey(live.bid))
                return;  // the entry's own block checks: it stays
        }
    }
    auto& mended = const_cast<BlockRecord&>(live);
    mended.ib = found.ib;
    mended.cb = found.cb;
    mended.cbInflated = found.cbInflated;
    ++done.blocksRepaired;
}

void AddBlocks(PstContext& context, const TrailerScan& scan, IndexCompletion& done) {
    // Blocks by BID: a BID met twice (an old copy of a page's block) keeps every offset.
    std::unordered_multimap<uint64_t, const ScannedBlock*> byBid;
    byBid.reserve(scan.blocks.size());
    for (const ScannedBlock& block : scan.blocks) byBid.emplace(BidKey(block.bid), &block);

    // A block-tree leaf found in the file may be stale, its offsets freed and reused since:
    // an entry counts only where the block there carries that BID and checks.
    const PstLayout& layout = *context.layout;
    std::vector<uint8_t> bytes;
    for (const ScannedPage& page : scan.pages) {
        if (!IsLeaf(page, PageType::BlockTree)) continue;
        if (context.Stopped()) return;
        if (ReadAt(context, page.ib, layout.pageSize, bytes) < layout.pageSize) continue;
        const ByteReader entries(bytes.data(), layout.entryAreaSize);
        const size_t count =
            std::min(layout.blockLeafMaxEntries, entries.size() / layout.blockLeafEntrySize);
        for (size_t i = 0; i < count; ++i) {
            const BlockLeafEntry entry = ReadBlockLeafEntry(layout, entries, i);
            if (entry.bid == 0 || context.blocks.Find(entry.bid)) continue;
            const auto [first, last] = byBid.equal_range(BidKey(entry.bid));
            for (auto it = first; it != last; ++it) {
                const ScannedBlock& block = *it->second;
                if (block.ib != entry.ib || block.cb != entry.cb) continue;
                context.blocks.Append({block.bid, block.ib, block.cb, block.cbInflated});
                ++done.blocksAdded;
                break;
            }
        }
    }
    for (const ScannedBlock& block : scan.blocks) {
        if (const BlockRecord* live = context.blocks.Find(block.bid)) {
            if (live->ib != block.ib || live->cb != block.cb) Repair(context, *live, block, done);
            continue;
        }
        context.blocks.Append({block.bid, block.ib, block.cb, block.cbInflated});
        ++done.blocksAdded;
    }
}

void AddNodes(PstContext& context, const TrailerScan& scan, IndexCompletion& done) {
    struct Found {
        uint64_t pageBid;
        NodeLeafEntry entry;
    };
    // A NID on several pages: the page written last (the higher BID) has its newest entry.
    std::unordered_map<uint32_t, Found> byNid;
    const PstLayout& layout = *context.layout;
    std::vector<uint8_t> bytes;
    for (const ScannedPage& page : scan.pages) {
        if (!IsLeaf(page, PageType::NodeTree)) continue;
        if (context.Stopped()) return;
        if (ReadAt(context, page.ib, layout.pageSize, bytes) < layout.pageSize) continue;
        for (const NodeLeafEntry& entry : ReadNodeLeafPage(layout, ByteReader(bytes))) {
            // What the live tree has stays as it is; an entry whose data is gone gives
            // nothing to read.
            if (context.nodes.FindAny(entry.nid)) continue;
            if (FindBlock(context, entry.bidData) == nullptr) continue;
            auto [it, added] = byNid.try_emplace(entry.nid, Found{page.bid, entry});
            if (!added && page.bid > it->second.pageBid) it->second = {page.bid, entry};
        }
    }
    std::vector<NodeLeafEntry> entries;
    entries.reserve(byNid.size());
    for (const auto& [nid, found] : byNid) entries.push_back(found.entry);
    // Parents before children where the NIDs say so, and the same order on every run.
    std::sort(entries.begin(), entries.end(),
              [](const NodeLeafEntry& a, const NodeLeafEntry& b) { return a.nid < b.nid; });
    PlaceNodeEntries(context, entries);
    done.nodesAdded = entries.size();
    for (const NodeLeafEntry& entry : entries) done.addedNids.push_back(entry.nid);
}

// How many trailers of the first bytes check with a layout.
uint64_t CheckedTrailers(PstContext& context, const PstLayout& layout) {
    const TrailerScan scan = ScanTrailers(context, layout, kGuessSpan);
    return scan.blocks.size() + scan.pages.size() + scan.otherPages;
}

// The encoding under which most external blocks start like a heap (none when no block
// tells).
uint32_t GuessCryptMethod(PstContext& context, const PstLayout& layout) {
    const TrailerScan scan = ScanTrailers(context, layout, kGuessSpan);
    std::array<size_t, 3> heaps{};
    size_t tried = 0;
    std::vector<uint8_t> bytes;
    for (const ScannedBlock& block : scan.blocks) {
        // A deflated block tells nothing before it is inflated.
        if (IsInternalBid(block.bid) || block.cb < 4 || block.cbInflated != block.cb) continue;
        if (tried++ == kGuessBlocks) break;
        for (uint32_t method = 0; method <= 2; ++method) {
            if (ReadAt(context, block.ib, 4, bytes) < 4) break;
            if (method == 1) DecodePermute(bytes.data(), bytes.size(), 1);
            if (method == 2)
                DecodeCyclic(bytes.data(), bytes.size(), static_cast<uint32_t>(block.bid));
            if (bytes[2] == kHeapSignature) ++heaps[method];
        }
    }
    return static_cast<uint32_t>(std::max_element(heaps.begin(), heaps.end()) - heaps.begin());
}

}  // namespace

const char* ScanReasonName(ScanReason reason) {
    switch (reason) {
        case ScanReason::None:
            break;
        case ScanReason::Requested:
            return "requested";
        case ScanReason::RootUnreadable:
            return "rootUnreadable";
        case ScanReason::RootPastEnd:
            return "rootPastEnd";
        case ScanReason::FileShort:
            return "fileShort";
        case ScanReason::SkippedSubtrees:
            return "skippedSubtrees";
        case ScanReason::HeaderDamaged:
            return "headerDamaged";
    }
    return "none";
}

ScanReason AutomaticScanReason(PstContext& context, int loadResult) {
    if (!context.layout) return ScanReason::HeaderDamaged;
    // A zeroed root reads as an empty page: a tree without a single entry (a sound file
    // has the message store in both) is a root that could not be read all the same.
    if (loadResult == kLoadRootUnreadable || context.blocks.empty() ||
        context.nodes.CreatedCount() == 0)
        return ScanReason::RootUnreadable;
    const uint64_t length = context.file.GetLength();
    if (context.blockRootOffset >= length || context.nodeRootOffset >= length)
        return ScanReason::RootPastEnd;
    if (length < context.headerFileEof) return ScanReason::FileShort;
    if (context.stats.skippedBlockSubtrees || context.stats.skippedNodeSubtrees)
        return ScanReason::SkippedSubtrees;
    return ScanReason::None;
}

IndexCompletion CompleteIndexes(PstContext& context, const TrailerScan& scan) {
    IndexCompletion done;
    if (!context.layout) return done;
    AddBlocks(context, scan, done);
    // Records the trees gave before their blocks were known read them now.
    if (done.blocksAdded || done.blocksRepaired) ResolveNodeBlocks(context);
    AddNodes(context, scan, done);
    return done;
}

DeepScanReport DeepScan(PstContext& context, ScanReason reason, const ScanWindowHook& hook) {
    const auto start = std::chrono::steady_clock::now();
    DeepScanReport report;
    report.reason = reason;
    if (!context.layout) return report;
    const TrailerScan scan = ScanTrailers(context, *context.layout, UINT64_MAX, hook);
    report.pages = scan.pages.size();
    report.blocks = scan.blocks.size();
    if (scan.stopped || context.Stopped()) {
        report.stopped = true;
    } else {
        const IndexCompletion done = CompleteIndexes(context, scan);
        report.blocksAdded = done.blocksAdded;
        report.nodesAdded = done.nodesAdded;
        report.blocksRepaired = done.blocksRepaired;
        report.addedNids = done.addedNids;
        report.stopped = context.Stopped();
    }
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

bool GuessLayout(PstContext& context) {
    const PstLayout* best = nullptr;
    uint64_t bestCount = 0;
    for (PstVariant variant : {PstVariant::Unicode, PstVariant::Unicode4k, PstVariant::Ansi}) {
        const PstLayout* layout = PstLayout::For(variant);
        const uint64_t count = CheckedTrailers(context, *layout);
        if (count > bestCount) {
            best = layout;
            bestCount = count;
        }
    }
    if (best == nullptr) return false;
    context.variant = best->variant;
    context.layout = best;
    context.cryptMethod = GuessCryptMethod(context, *best);
    // The rest of the header may still be sound: its root offsets are worth a try.
    std::vector<uint8_t> header;
    ReadAt(context, 0, best->headerReadSize, header);
    const ByteReader reader(header);
    context.nodeRootOffset = reader.UInt(best->nodeRootOffsetPos, best->idSize).value_or(0);
    context.blockRootOffset = reader.UInt(best->blockRootOffsetPos, best->idSize).value_or(0);
    context.headerFileEof = reader.UInt(best->fileEofPos, best->idSize).value_or(0);
    return true;
}

}  // namespace kestrel

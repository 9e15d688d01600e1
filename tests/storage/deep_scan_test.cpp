// The deep scan: indexes rebuilt from the trailers of the file's pages and blocks.
#include <gtest/gtest.h>

#include <algorithm>

#include "load_image.h"
#include "storage/deep_scan.h"
#include "support/layouts.h"

namespace kestrel {
namespace {

using test::BTree;
using test::PstBuilder;

test::LoadedImage Load(std::vector<uint8_t> image) {
    test::LoadedImage loaded;
    OpenPstImage(*loaded.context, std::move(image));
    loaded.result = LoadIndexes(*loaded.context);
    return loaded;
}

class DeepScanTest : public test::EncodedLayoutTest {
  protected:
    // A store, a folder and three messages, the node tree over two levels of pages.
    PstBuilder Mailbox() {
        PstBuilder pst(variant(), cryptMethod());
        pst.limits().pageEntries = 3;
        store_ = pst.AddBlock({0x01, 0x02, 0xEC, 0xBC});
        pst.AddNode(0x21, store_);
        pst.AddNode(0x122, pst.AddBlock({2}), 0, 0x122);
        for (uint32_t i = 0; i < 3; ++i) {
            const uint64_t sub = pst.AddSubnodes({{0x692, pst.AddBlock({9, 9}), 0}});
            pst.AddNode(test::MakeNid(4, 0x100 + i), pst.AddData(std::vector<uint8_t>(300, i)), sub,
                        0x122);
        }
        return pst;
    }

    static void Zero(std::vector<uint8_t>& image, uint64_t at, size_t count = kPageSize) {
        std::fill_n(image.begin() + static_cast<ptrdiff_t>(at), count, 0);
    }

    static void ExpectEveryNodeReadable(PstContext& context, const PstBuilder& pst) {
        for (const auto& entry : pst.NbtEntries()) {
            const NodeRecord* node = FindNode(context, static_cast<uint32_t>(entry.nid));
            ASSERT_NE(node, nullptr) << entry.nid;
            ASSERT_NE(node->dataBlock, nullptr) << entry.nid;
            EXPECT_EQ(node->dataBlock->ib, pst.Block(entry.bidData).ib);
            if (entry.bidSub) {
                EXPECT_NE(node->subnodeBlock, nullptr) << entry.nid;
            }
        }
    }

    uint64_t store_ = 0;
};
KESTREL_ENCODED_LAYOUTS(DeepScanTest);

TEST_P(DeepScanTest, ZeroedBlockTreeRootIsRebuiltFromTheBlockTrailers) {
    PstBuilder pst = Mailbox();
    std::vector<uint8_t> image = pst.Build();
    test::LoadedImage sound = Load(image);
    Zero(image, sound->blockRootOffset);

    // The zeroed root reads as an empty leaf: an empty index calls for the scan all the same.
    test::LoadedImage loaded = Load(image);
    EXPECT_EQ(loaded->blocks.size(), 0u);
    EXPECT_EQ(AutomaticScanReason(*loaded, loaded.result), ScanReason::RootUnreadable);
    const DeepScanReport report = DeepScan(*loaded, ScanReason::RootUnreadable);
    EXPECT_EQ(report.blocks, pst.BbtEntries().size());
    EXPECT_EQ(report.blocksAdded, pst.BbtEntries().size());
    EXPECT_EQ(report.nodesAdded, 0u);  // the node tree was whole
    for (const auto& entry : pst.BbtEntries()) {
        const BlockRecord* block = FindBlock(*loaded, entry.bid);
        ASSERT_NE(block, nullptr) << entry.bid;
        EXPECT_EQ(block->ib, entry.ib);
        EXPECT_EQ(block->cb, entry.cb);
    }
    // The nodes the node tree gave before any block was known now read their blocks.
    ExpectEveryNodeReadable(*loaded, pst);
}

TEST_P(DeepScanTest, ZeroRootOffsetsRebuildBothIndexes) {
    PstBuilder pst = Mailbox();
    std::vector<uint8_t> image = pst.Build();
    const PstLayout& layout = *PstLayout::For(variant());
    Zero(image, layout.nodeRootOffsetPos, layout.idSize);
    Zero(image, layout.blockRootOffsetPos, layout.idSize);

    test::LoadedImage loaded = Load(image);
    EXPECT_EQ(loaded.result, kLoadRootUnreadable);
    const DeepScanReport report = DeepScan(*loaded, ScanReason::RootUnreadable);
    EXPECT_EQ(report.nodesAdded, pst.NbtEntries().size());
    ExpectEveryNodeReadable(*loaded, pst);
    // Placed under their parents as the loader places them.
    EXPECT_EQ(FindNode(*loaded, 0x122)->childCount, 3u);
    EXPECT_EQ(loaded->stats.orphanNodes, 0u);
}

// An older copy of a node-tree leaf still names a message the live tree no longer has: it
// comes back as an orphan-free entry under the parent it named, and the live tree's own
// entries are never replaced by what the copy says.
TEST_P(DeepScanTest, StaleNodeLeafAddsWhatTheLiveTreeLacksOnly) {
    PstBuilder pst = Mailbox();
    const uint32_t gone = test::MakeNid(4, 0x200);
    const uint64_t goneData = pst.AddBlock({5, 5, 5});
    const uint64_t oldStore = pst.AddBlock({0x01, 0x02, 0xEC, 0xBC, 0});
    // Older and newer copies: the higher page BID is the newer one.
    pst.AddNbtLeaf({{0x21, oldStore, 0, 0}, {gone, goneData, 0, 0x21}});
    pst.AddNbtLeaf({{gone, goneData, 0, 0x122}});
    test::LoadedImage loaded = Load(pst.Build());
    ASSERT_EQ(loaded.result, kLoadComplete);
    EXPECT_EQ(AutomaticScanReason(*loaded, loaded.result), ScanReason::None);

    const DeepScanReport report = DeepScan(*loaded, ScanReason::Requested);
    EXPECT_EQ(report.nodesAdded, 1u);
    EXPECT_EQ(report.addedNids, std::vector<uint32_t>{gone});
    const NodeRecord* node = FindNode(*loaded, gone);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->nidParent, 0x122u);
    EXPECT_EQ(FindNode(*loaded, 0x21)->dataBlock->bid, store_);
}

// Bytes that look like a block but fail their CRC add nothing, and neither does a stale
// block-tree leaf whose offset now holds another block.
TEST_P(DeepScanTest, BadCrcAndStaleLeafIntoReusedSpaceAddNothing) {
    PstBuilder pst = Mailbox();
    const uint64_t damaged = pst.AddBlock({1, 2, 3, 4, 5, 6});
    pst.Unindex(damaged);
    const uint64_t reused = pst.AddBlock({7, 7, 7, 7});
    pst.Unindex(reused);
    const uint64_t freed = pst.ReserveBid();
    pst.AddBbtLeaf({{freed, pst.Block(reused).ib, 4, 1}});
    pst.Patch(pst.Block(damaged).ib + 1, {0xFF});

    test::LoadedImage loaded = Load(pst.Build());
    DeepScan(*loaded, ScanReason::Requested);
    EXPECT_EQ(FindBlock(*loaded, damaged), nullptr);
    EXPECT_EQ(FindBlock(*loaded, freed), nullptr);
    ASSERT_NE(FindBlock(*loaded, reused), nullptr);
    EXPECT_EQ(FindBlock(*loaded, reused)->ib, pst.Block(reused).ib);
}

// A block-tree entry whose offset points at other bytes is mended to the block that checks;
// one whose own block checks stays as it is.
TEST_P(DeepScanTest, EntryNamingDamagedBytesIsMendedToTheBlockThatChecks) {
    PstBuilder pst = Mailbox();
    const uint64_t moved = pst.AddBlock({4, 4, 4, 4});
    const test::BbtEntry right = pst.Block(moved);
    pst.Unindex(moved);
    pst.AddBbtEntry({moved, right.ib + 64 * 1000, right.cb, 2});
    test::LoadedImage loaded = Load(pst.Build());
    ASSERT_NE(FindBlock(*loaded, moved), nullptr);
    const DeepScanReport report = DeepScan(*loaded, ScanReason::Requested);
    EXPECT_EQ(report.blocksRepaired, 1u);
    EXPECT_EQ(FindBlock(*loaded, moved)->ib, right.ib);
    EXPECT_EQ(FindBlock(*loaded, store_)->ib, pst.Block(store_).ib);
}

TEST_P(DeepScanTest, DamagedHeaderVersionIsGuessedFromTheTrailers) {
    PstBuilder pst = Mailbox();
    pst.header().wVer = 99;
    test::LoadedImage loaded = Load(pst.Build());
    ASSERT_EQ(loaded->variant, PstVariant::Unknown);
    ASSERT_TRUE(GuessLayout(*loaded));
    EXPECT_EQ(loaded->variant, variant());
    EXPECT_EQ(loaded->cryptMethod, cryptMethod());
    EXPECT_EQ(LoadIndexes(*loaded), kLoadComplete);

    PstContext noise;
    OpenPstImage(noise, std::vector<uint8_t>(200000, 'x'));
    EXPECT_FALSE(GuessLayout(noise));
}

TEST(DeepScanWindows, StopAtAWindowKeepsNothingAndTrailersAcrossWindowsAreFound) {
    PstBuilder pst(PstVariant::Unicode);
    test::AddStore(pst);
    // Enough blocks that the file spans several scan windows.
    std::vector<uint64_t> bids;
    for (int i = 0; i < 1200; ++i) bids.push_back(pst.AddBlock(std::vector<uint8_t>(8000, 1)));
    test::LoadedImage loaded = Load(pst.Build());
    ASSERT_GT(loaded->file.GetLength(), 2 * kScanWindowSize);

    size_t windows = 0;
    const DeepScanReport stopped = DeepScan(*loaded, ScanReason::Requested,
                                            [&](uint64_t, uint64_t) { return ++windows == 2; });
    EXPECT_TRUE(stopped.stopped);
    EXPECT_EQ(stopped.blocksAdded, 0u);

    const TrailerScan scan = ScanTrailers(*loaded, *loaded->layout, UINT64_MAX);
    EXPECT_EQ(scan.blocks.size(), pst.BbtEntries().size());
}

}  // namespace
}  // namespace kestrel

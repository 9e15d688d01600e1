// Loading the block and node B-trees, sound and damaged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "load_image.h"
#include "storage/block_reader.h"
#include "support/layouts.h"

namespace kestrel {
namespace {

using test::BTree;
using test::LoadImage;
using test::PstBuilder;

class BothLayouts : public test::LayoutTest {};
KESTREL_BOTH_LAYOUTS(BothLayouts);

TEST(BlockIndex, FirstMatchWithBitZeroCleared) {
    BlockIndex index;
    index.Append({8, 100, 1});
    index.Append({8, 200, 2});
    index.Append({13, 300, 3});  // stored with bit 0 set: no lookup can match it
    EXPECT_EQ(index.Find(8)->ib, 100u);
    EXPECT_EQ(index.Find(9)->ib, 100u);
    EXPECT_EQ(index.Find(12), nullptr);
    EXPECT_EQ(index.Find(13), nullptr);
    EXPECT_EQ(index.Find(0), nullptr);
    EXPECT_EQ(index.size(), 3u);
}

TEST(NodeTree, LinksNeverFormACycleAndFindSkipsOrphans) {
    NodeTree tree;
    NodeRecord* a = tree.Create(1);
    NodeRecord* b = tree.Create(2);
    NodeRecord* c = tree.Create(3);
    tree.AppendTop(a);
    ASSERT_TRUE(tree.AppendChild(a, b));
    ASSERT_TRUE(tree.AppendChild(b, c));
    EXPECT_FALSE(tree.AppendChild(c, a));  // a under its own grandchild
    EXPECT_FALSE(tree.AppendChild(b, b));
    EXPECT_EQ(tree.ReachableCount(), 3u);

    tree.Unlink(b);  // b and c fall out of the tree; a keeps its count
    EXPECT_EQ(tree.Find(3), nullptr);
    EXPECT_EQ(tree.FindAny(3), c);
    EXPECT_EQ(a->childCount, 1u);
    EXPECT_EQ(tree.ReachableCount(), 1u);

    // Two reachable records with one nid: the depth-first walk decides.
    NodeRecord* late = tree.Create(3);
    tree.AppendTop(b);
    tree.AppendChild(a, late);
    EXPECT_EQ(tree.Find(3), late);
    EXPECT_EQ(tree.ReachableCount(), 4u);
}

TEST_P(BothLayouts, LeafPagesYieldOnlyEntriesInsideTheEntryArea) {
    PstBuilder pst(GetParam());
    // 41 block and 31 node entries fit an Ansi page, 20 and 15 a Unicode one, 169 and 126
    // a 4 KB one; four more run on over the page's fields.
    const size_t blockFit = pst.PageCapacity(BTree::Block, 0);
    const size_t nodeFit = pst.PageCapacity(BTree::Node, 0);
    std::vector<test::BbtEntry> blocks;
    for (uint64_t i = 1; i <= blockFit + 4; ++i) blocks.push_back({4 * i, 0x4800 + 64 * i, 16});
    pst.SetRoot(BTree::Block, pst.AddBbtLeaf(blocks));
    std::vector<test::NbtEntry> nodes;
    for (uint32_t i = 0; i < nodeFit + 4; ++i) nodes.push_back({0x21u + 0x20 * i, 4, 0, 0});
    pst.SetRoot(BTree::Node, pst.AddNbtLeaf(nodes));

    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);
    EXPECT_EQ(loaded->blocks.size(), blockFit);
    EXPECT_EQ(loaded->nodes.ReachableCount(), nodeFit);
    EXPECT_EQ(loaded->stats.blockLeafDepth, 0);
}

// Key continuity at the roots: a block tree whose leaf does not start with the first block,
// a node tree that does not start at the message store.
TEST_P(BothLayouts, TreesMustStartWithTheirFirstKey) {
    PstBuilder blocks(GetParam());
    test::AddStore(blocks);
    blocks.SetRoot(BTree::Block, blocks.AddBbtLeaf({{8, 0x4800, 4}, {12, 0x4840, 4}}));
    auto loaded = LoadImage(blocks);
    EXPECT_EQ(loaded.result, 2);
    EXPECT_EQ(loaded->nodes.CreatedCount(), 0u);

    PstBuilder nodes(GetParam());
    nodes.AddNode(0x61, nodes.AddBlock({1}));
    nodes.AddNode(0x122, nodes.AddBlock({2}), 0, 0x122);
    EXPECT_EQ(LoadImage(nodes).result, 2);
}

// The first leaf page, met while the leaf level is still unknown, with its first key
// damaged: when its trailer still names it, only the damaged entry is lost; when the
// trailer does not, the page is skipped and it alone.
TEST_P(BothLayouts, DamagedFirstLeafPageCostsOnlyItsOwnEntries) {
    for (bool trailerToo : {false, true}) {
        SCOPED_TRACE(trailerToo ? "trailer damaged as well" : "first key damaged");
        PstBuilder pst(GetParam());
        pst.limits().pageEntries = 3;
        test::AddStore(pst);
        for (uint8_t i = 0; i < 11; ++i) pst.AddBlock({i});
        pst.Build();
        const auto leaves = pst.BuiltPages(BTree::Block, 0);
        ASSERT_EQ(leaves.size(), 4u);
        uint8_t levels = 0;
        for (const auto& page : pst.BuiltPages())
            levels = std::max<uint8_t>(levels, page.level + 1);
        ASSERT_GE(levels, 3);
        pst.PatchLe(leaves[0].ib, 0x7777770, pst.IdSize());  // no longer starts with its key
        const PstLayout& layout = *PstLayout::For(GetParam());
        const size_t trailerBid = layout.pageTrailerPos + layout.trailerBidPos;
        if (trailerToo) pst.PatchLe(leaves[0].ib + trailerBid, 0x5555, pst.IdSize());

        auto loaded = LoadImage(pst);
        ASSERT_EQ(loaded.result, 0);
        EXPECT_EQ(loaded->stats.blockLeafDepth, levels - 1);
        const size_t lost = trailerToo ? leaves[0].entries : 1;
        EXPECT_EQ(loaded->blocks.size(), 12u - lost);
        EXPECT_EQ(loaded->stats.skippedBlockSubtrees, trailerToo ? 1u : 0u);
        for (const auto& entry : pst.BbtEntries()) {
            const bool kept =
                trailerToo ? entry.bid >= leaves[1].firstKey : entry.bid != leaves[0].firstKey;
            EXPECT_EQ(FindBlock(*loaded, entry.bid) != nullptr, kept) << entry.bid;
        }
    }
}

TEST_P(BothLayouts, PagesOnTheirOwnPathOrOutsideTheFileAreSkipped) {
    PstBuilder pst(GetParam());
    test::AddStore(pst);
    auto leaf = pst.AddBbtLeaf({{8, 0x4800, 4}, {12, 0x4840, 4}});
    const uint64_t farAway = unicode() ? uint64_t{1} << 40 : 0xFFFFFE00;  // Ansi: unsigned
    auto root =
        pst.AddBtPage(BTree::Block, 1, {{4, 0, 0}, {8, leaf.bid, leaf.ib}, {0x100, 0, farAway}});
    pst.PatchLe(root.ib + 2 * pst.IdSize(), root.ib, pst.IdSize());  // entry 0: the root itself
    pst.SetRoot(BTree::Block, root);

    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);
    EXPECT_EQ(loaded->blocks.size(), 2u);
    EXPECT_EQ(loaded->stats.blockLeafDepth, 1);
    EXPECT_EQ(loaded->stats.skippedBlockSubtrees, 2u);
    EXPECT_NE(FindNode(*loaded, 0x21), nullptr);
}

TEST_P(BothLayouts, ChildrenListedBeforeTheirParentAreAdopted) {
    PstBuilder pst(GetParam());
    pst.limits().pageEntries = 3;
    test::AddStore(pst);
    pst.AddNode(0x61, 0);
    pst.AddNode(0x122, 0, 0, 0x122);  // its own parent: top level
    pst.AddNode(0x8022, 0, 0, 0x80A2);
    pst.AddNode(0x8042, 0, 0, 0x80A2);
    pst.AddNode(0x8062, 0, 0, 0x122);
    pst.AddNode(0x8082, 0, 0, 0x122);
    pst.AddNode(0x80A2, 0, 0, 0x122);   // a page after its children
    pst.AddNode(0x80C2, 0, 0, 0x9FE2);  // its parent never comes

    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);
    const NodeRecord* parent = FindNode(*loaded, 0x80A2);
    ASSERT_NE(parent, nullptr);
    ASSERT_NE(parent->firstChild, nullptr);
    EXPECT_EQ(parent->firstChild->nid, 0x8022u);
    ASSERT_NE(parent->firstChild->nextSibling, nullptr);
    EXPECT_EQ(parent->firstChild->nextSibling->nid, 0x8042u);
    EXPECT_TRUE(FindNode(*loaded, 0x122)->topLevel);
    EXPECT_EQ(FindNode(*loaded, 0x80C2), nullptr);
    EXPECT_EQ(loaded->stats.orphanNodes, 1u);
    EXPECT_EQ(loaded->nodes.ReachableCount(), 8u);
}

TEST_P(BothLayouts, NidListedAgainMovesUnderItsNewParent) {
    PstBuilder pst(GetParam());
    const uint64_t data = pst.AddBlock({7});
    auto first = pst.AddNbtLeaf(
        {{0x21, 0, 0, 0}, {0x122, 0, 0, 0x122}, {0x8022, 0, 0, 0x122}, {0x8042, 0, 0, 0x122}});
    auto second = pst.AddNbtLeaf({{0x21, 0, 0, 0}, {0x8022, data, 0, 0x8042}});
    pst.SetRoot(BTree::Node,
                pst.AddBtPage(BTree::Node, 1,
                              {{0x21, first.bid, first.ib}, {0x21, second.bid, second.ib}}));

    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);
    const NodeRecord* moved = FindNode(*loaded, 0x8022);
    ASSERT_NE(moved, nullptr);
    ASSERT_NE(moved->parent, nullptr);
    EXPECT_EQ(moved->parent->nid, 0x8042u);
    EXPECT_EQ(moved->dataBlock, FindBlock(*loaded, data));
    EXPECT_EQ(FindNode(*loaded, 0x122)->childCount, 2u);  // the count is not taken back
    EXPECT_TRUE(FindNode(*loaded, 0x21)->topLevel);
    EXPECT_EQ(loaded->nodes.CreatedCount(), 4u);
}

// One leaf entry whose key breaks the page's order (a flipped BID, a NID repeating another
// one's) costs that entry's place in the order, not the entries after it; a node entry off
// the order still gets a record of its own when it reads a block no record of its NID
// reads. Stale entries past the live count are read only while they keep rising.
TEST_P(BothLayouts, LeafEntryBreakingTheOrderCostsOnlyItself) {
    PstBuilder pst(GetParam());
    std::vector<uint64_t> data;
    for (uint8_t i = 0; i < 6; ++i) data.push_back(pst.AddBlock({i}));
    const uint32_t folder = 0x122;
    auto leaf = pst.AddNbtLeaf({{0x21, 0, 0, 0},
                                {folder, 0, 0, folder},
                                {0x200024, data[0], 0, folder},
                                {0x200084, data[1], 0, folder},  // was 0x200044
                                {0x200064, data[2], 0, folder},
                                {0x200084, data[3], 0, folder},
                                {0x200084, data[3], 0, folder},  // a plain repeat: nothing new
                                {0x2000A4, data[4], 0, folder},
                                {0x2000C4, data[5], 0, folder},
                                {0x2000E4, data[5], 0, folder},  // stale from here on
                                {0x200010, data[5], 0, folder}});
    const PstLayout& layout = *PstLayout::For(GetParam());
    pst.PatchLe(leaf.ib + layout.entryAreaSize, 9, layout.pageCountSize);
    pst.SetRoot(BTree::Node, leaf);

    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);
    for (uint32_t nid : {0x200024u, 0x200064u, 0x2000A4u, 0x2000C4u, 0x2000E4u})
        EXPECT_NE(FindNode(*loaded, nid), nullptr) << std::hex << nid;
    EXPECT_EQ(FindNode(*loaded, 0x200010), nullptr);
    const NodeRecord* duplicated = FindNode(*loaded, 0x200084);
    ASSERT_NE(duplicated, nullptr);
    EXPECT_EQ(duplicated->dataBlock, FindBlock(*loaded, data[3]));
    EXPECT_NE(loaded->nodes.FindByData(0x200084, FindBlock(*loaded, data[1])), nullptr);
    std::vector<uint32_t> children;
    for (const NodeRecord* c = FindNode(*loaded, folder)->firstChild; c; c = c->nextSibling)
        children.push_back(c->nid);
    EXPECT_EQ(children, (std::vector<uint32_t>{0x200024, 0x200064, 0x200084, 0x2000A4, 0x2000C4,
                                               0x2000E4, 0x200084}));

    PstBuilder blocks(GetParam());
    test::AddStore(blocks);
    blocks.SetRoot(BTree::Block, blocks.AddBbtLeaf({{4, 0x4800, 4},
                                                    {8, 0x4840, 4},
                                                    {0x7000, 0x4880, 4},  // was 12
                                                    {16, 0x48C0, 4},
                                                    {20, 0x4900, 4}}));
    auto index = LoadImage(blocks);
    ASSERT_EQ(index.result, 0);
    EXPECT_EQ(index->blocks.size(), 4u);
    EXPECT_NE(FindBlock(*index, 20), nullptr);
    EXPECT_EQ(FindBlock(*index, 0x7000), nullptr);
}

// A stale entry past a block leaf's live count that carries a key of the next page (an
// old copy of it, pointing anywhere) must not shadow that page's live entry.
TEST_P(BothLayouts, StaleBlockEntryBeyondThePageBoundShadowsNothing) {
    PstBuilder pst(GetParam());
    pst.limits().pageEntries = 3;
    test::AddStore(pst);
    for (uint8_t i = 0; i < 5; ++i) pst.AddBlock({i});
    pst.Build();
    const auto leaves = pst.BuiltPages(BTree::Block, 0);
    ASSERT_GE(leaves.size(), 2u);
    const uint64_t nextKey = leaves[1].firstKey;
    const uint64_t trueIb = FindBlock(*LoadImage(pst), nextKey)->ib;
    const uint64_t stale = leaves[0].ib + leaves[0].entries * (unicode() ? 24 : 12);
    pst.PatchLe(stale, nextKey, pst.IdSize());
    pst.PatchLe(stale + pst.IdSize(), 0x7FFFFF00, pst.IdSize());

    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);
    ASSERT_NE(FindBlock(*loaded, nextKey), nullptr);
    EXPECT_EQ(FindBlock(*loaded, nextKey)->ib, trueIb);
}

// Without allocation maps the file ends right after the node-tree root: a page is read
// as its 512 bytes, never more.
TEST_P(BothLayouts, PagesAtTheVeryEndOfTheFileLoad) {
    PstBuilder pst(GetParam());
    pst.header().allocationMaps = false;
    test::AddStore(pst);
    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded->nodeRootOffset + pst.PageSize(), loaded->file.GetLength());
    EXPECT_EQ(loaded.result, 0);
    EXPECT_NE(FindNode(*loaded, 0x21), nullptr);
}

TEST_P(BothLayouts, SiblingPagesReadTogetherStillPassOrFailOneByOne) {
    // Leaves that follow each other in the file are read in one go; a damaged one amid
    // them, or one the file's end cuts through, costs only its own entries.
    for (const bool cut : {false, true}) {
        PstBuilder pst(GetParam());
        pst.header().allocationMaps = false;  // the last leaf ends the file
        pst.SetRoot(BTree::Node, pst.AddNbtLeaf({{0x21, 4, 0, 0}}));
        auto root = pst.ReservePage();
        auto first = pst.AddBbtLeaf({{4, 0x4800, 16}, {8, 0x4840, 16}});
        auto second = pst.AddBbtLeaf({{12, 0x4880, 16}, {16, 0x48C0, 16}});
        auto third = pst.AddBbtLeaf({{20, 0x4900, 16}, {24, 0x4940, 16}});
        ASSERT_EQ(second.ib, first.ib + pst.PageSize());
        ASSERT_EQ(third.ib, second.ib + pst.PageSize());
        pst.AddBtPage(BTree::Block, 1,
                      {{4, first.bid, first.ib}, {12, second.bid, second.ib},
                       {20, third.bid, third.ib}},
                      root);
        pst.SetRoot(BTree::Block, root);
        if (!cut) pst.Patch(second.ib, std::vector<uint8_t>(pst.PageSize(), 0xA5));
        std::vector<uint8_t> image = pst.Build();
        ASSERT_EQ(image.size(), third.ib + pst.PageSize());
        if (cut) image.resize(third.ib + pst.PageSize() / 2);

        PstContext context;
        OpenPstImage(context, std::move(image));
        LoadIndexes(context);
        EXPECT_EQ(context.blocks.size(), 4u) << cut;
        EXPECT_NE(FindBlock(context, cut ? 16 : 24), nullptr) << cut;
        EXPECT_EQ(FindBlock(context, cut ? 24 : 16), nullptr) << cut;
        EXPECT_EQ(context.stats.skippedBlockSubtrees, 1u) << cut;
    }
}

TEST(LoadIndexes, StopFlagEndsTheLoadWithWhatWasBuilt) {
    PstBuilder pst(PstVariant::Unicode);
    test::AddStore(pst);
    PstContext context;
    std::atomic<uint32_t> stop{1};
    context.stopFlag = &stop;
    OpenPstImage(context, pst.Build());
    EXPECT_EQ(LoadIndexes(context), 0);
    EXPECT_TRUE(context.blocks.empty());
    EXPECT_EQ(context.nodes.CreatedCount(), 0u);
}

// A sparse file: the block-tree leaf lies past 2 GiB (Ansi) or 4 GiB (Unicode), and the
// block past that.
TEST_P(BothLayouts, OffsetsUseEveryBitTheLayoutGives) {
    const uint64_t pageAt = unicode() ? uint64_t{5} << 30 : 0x90000000;
    const uint64_t blockAt = unicode() ? uint64_t{6} << 30 : 0xA0000000;
    PstBuilder pst(GetParam());
    const std::vector<uint8_t> data{1, 2, 3, 4, 5};
    const uint64_t bid = pst.AddBlock(data);
    pst.AddNode(0x21, bid);
    auto leaf = pst.AddBbtLeaf({{bid, blockAt, static_cast<uint16_t>(data.size())}});
    pst.SetRoot(BTree::Block, pst.AddBtPage(BTree::Block, 1, {{bid, leaf.bid, pageAt}}));
    const std::vector<uint8_t> image = pst.Build();

    const test::ScratchPath scratch{
        std::filesystem::temp_directory_path() /
        ("kestrel-far-" + std::to_string(::getpid()) + (unicode() ? "u" : "a"))};
    const auto& path = scratch.path;
    int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    const uint64_t blockIb = pst.Block(bid).ib;
    bool written =
        ::pwrite(fd, image.data(), image.size(), 0) == ssize_t(image.size()) &&
        ::pwrite(fd, image.data() + leaf.ib, 512, pageAt) == 512 &&
        ::pwrite(fd, image.data() + blockIb, data.size(), blockAt) == ssize_t(data.size());
    ::close(fd);
    if (!written) {
        GTEST_SKIP() << "no room for a sparse file in " << path.parent_path();
    }

    PstContext context;
    ASSERT_EQ(OpenPstFile(context, path.string()), 0);
    EXPECT_EQ(LoadIndexes(context), 0);
    const BlockRecord* block = FindBlock(context, bid);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->ib, blockAt);
    std::vector<uint8_t> read;
    EXPECT_EQ(ReadNodeData(context, FindNode(context, 0x21)->dataBlock, read), data.size());
    EXPECT_EQ(read, data);
}

}  // namespace
}  // namespace kestrel

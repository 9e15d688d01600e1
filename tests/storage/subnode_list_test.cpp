// Subnode lists: leaf and intermediate blocks, nesting, and blocks that loop.
#include "storage/subnode_list.h"

#include <gtest/gtest.h>

#include "load_image.h"
#include "support/layouts.h"

namespace kestrel {
namespace {

using test::LoadImage;
using test::PstBuilder;

class Subnodes : public test::LayoutTest {};
KESTREL_BOTH_LAYOUTS(Subnodes);

std::vector<uint32_t> Nids(const SubnodeList& list) {
    std::vector<uint32_t> nids;
    for (const auto& entry : list.entries) nids.push_back(entry.nid);
    return nids;
}

TEST_P(Subnodes, IntermediateBlocksAndNestedListsAreFollowed) {
    PstBuilder pst(GetParam());
    test::AddStore(pst);
    const uint64_t d1 = pst.AddBlock({1}), d2 = pst.AddBlock({2}), d3 = pst.AddBlock({3, 3});
    const uint64_t nested = pst.AddSlBlock({{0x1001, d3, 0}});
    const uint64_t lost = pst.AddSlBlock({{0x2002, d1, 0}});
    const uint64_t first = pst.AddSlBlock({{0x671, d1, nested}, {0x692, d2, 0}});
    // An entry without its data goes, nested list and all; the second 0x671 is found second.
    const uint64_t second =
        pst.AddSlBlock({{0x8005, d2, 0}, {0x8025, 0x7FFF0, lost}, {0x671, d3, 0}});
    const uint64_t top = pst.AddSiBlock({{0x671, first}, {0x8005, second}});
    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);

    SubnodeList list = BuildSubnodeList(*loaded, FindBlock(*loaded, top));
    ASSERT_EQ(Nids(list), (std::vector<uint32_t>{0x671, 0x1001, 0x692, 0x8005, 0x671}));
    EXPECT_EQ(list.entries[0].subnodeBlock, FindBlock(*loaded, nested));
    EXPECT_EQ(FindSubnode(list, 0x671), FindBlock(*loaded, d1));

    std::vector<uint8_t> out;
    EXPECT_EQ(ReadSubnodeData(*loaded, 0x1001, list, out), 2u);
    EXPECT_EQ(out, (std::vector<uint8_t>{3, 3}));
    EXPECT_EQ(ReadSubnodeData(*loaded, 0x7777, list, out), 0u);
    EXPECT_EQ(FindSubnode(SubnodeList{}, 0x671), nullptr);

    // Appending to an existing list keeps what was there.
    BuildSubnodeList(*loaded, FindBlock(*loaded, nested), list);
    EXPECT_EQ(list.size(), 6u);
}

TEST_P(Subnodes, LoopingAndOverlongBlocksEnd) {
    PstBuilder pst(GetParam());
    test::AddStore(pst);
    const uint64_t d1 = pst.AddBlock({1});
    const uint64_t loop = pst.ReserveBid(true);
    pst.AddSlBlock({{0x671, d1, loop}}, loop);  // names itself as its own subnode list
    const uint64_t leaf = pst.AddSlBlock({{0x692, d1, 0}, {0x6B2, d1, 0}});
    pst.PatchLe(pst.Block(leaf).ib + 2, 300, 2);  // cEnt far past the block's end
    const uint64_t circle = pst.ReserveBid(true);
    pst.AddSiBlock({{0x1, circle}, {0x692, leaf}}, circle);
    const uint64_t notSubnodes = pst.AddXBlock({d1});
    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);

    EXPECT_EQ(Nids(BuildSubnodeList(*loaded, FindBlock(*loaded, loop))),
              std::vector<uint32_t>{0x671});
    EXPECT_EQ(Nids(BuildSubnodeList(*loaded, FindBlock(*loaded, circle))),
              (std::vector<uint32_t>{0x692, 0x6B2}));
    EXPECT_TRUE(BuildSubnodeList(*loaded, FindBlock(*loaded, notSubnodes)).empty());
    EXPECT_TRUE(BuildSubnodeList(*loaded, nullptr).empty());
}

// An entry's own list, taken from the entries nested below it, is what reading its block
// alone gives: shared blocks, loops and nesting past the limit included.
TEST_P(Subnodes, AnEntrysOwnListIsTheListItsBlockGives) {
    PstBuilder pst(GetParam());
    test::AddStore(pst);
    const uint64_t d1 = pst.AddBlock({1});
    const uint64_t deepest = pst.AddSlBlock({{0x3001, d1, 0}});
    const uint64_t inner = pst.AddSlBlock({{0x2001, d1, deepest}, {0x2002, d1, 0}});
    const uint64_t loop = pst.ReserveBid(true);
    pst.AddSlBlock({{0x4001, d1, loop}}, loop);
    uint64_t chain = pst.AddSlBlock({{0x5000, d1, 0}});
    for (uint32_t k = 1; k < 20; ++k) chain = pst.AddSlBlock({{0x5000 + k, d1, chain}});
    // The second entry shares the first one's list, met already when the list comes to it.
    const uint64_t top = pst.AddSlBlock(
        {{0x8005, d1, inner}, {0x8025, d1, inner}, {0x8045, d1, loop}, {0x8065, d1, chain}});
    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);

    auto same = [](const SubnodeList& a, const SubnodeList& b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            const SubnodeEntry &x = a.entries[i], &y = b.entries[i];
            if (x.nid != y.nid || x.nested != y.nested || x.block != y.block ||
                x.subnodeBlock != y.subnodeBlock)
                return false;
        }
        return true;
    };
    const SubnodeList list = BuildSubnodeList(*loaded, FindBlock(*loaded, top));
    size_t taken = 0;
    for (const SubnodeEntry& entry : list.entries) {
        if (!entry.subnodeBlock) continue;
        taken += entry.nested != SubnodeEntry::kNestedUnknown;
        EXPECT_TRUE(same(OwnSubnodeList(*loaded, list, entry),
                         BuildSubnodeList(*loaded, entry.subnodeBlock)))
            << std::hex << entry.nid;
    }
    EXPECT_EQ(list.entries[0].nested, 3u);
    EXPECT_EQ(taken, 2u);  // the first entry and the one nested in it; the rest were cut
    EXPECT_EQ(list.entries[4].nid, 0x8025u);
    EXPECT_EQ(list.entries[4].nested, SubnodeEntry::kNestedUnknown);
}

}  // namespace
}  // namespace kestrel

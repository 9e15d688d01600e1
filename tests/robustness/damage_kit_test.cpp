// The damage suite trusts two helpers: the layout map must see every node and block where
// the builder put it, and every damaged copy must differ from its source only inside the
// ranges it reports. A map that misses nodes, or a copy that changes bytes it does not
// report, would quietly let faults through.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "robustness/built_mailboxes.h"
#include "robustness/damage.h"
#include "robustness/pst_map.h"

namespace kestrel::test {
namespace {

bool Inside(uint64_t offset, const std::vector<ByteRange>& ranges) {
    for (const ByteRange& r : ranges)
        if (offset >= r.begin && offset < r.end) return true;
    return false;
}

class DamageKit : public ::testing::TestWithParam<PstVariant> {};

TEST_P(DamageKit, MapFindsEveryNodeAndBlockTheBuilderWrote) {
    MailboxBuilder box(GetParam(), {.cryptMethod = 2});
    box.pst().limits().pageEntries = 4;
    box.AddMessage(box.Folder("Inbox"), MakeMail("hello", "Ann", "ann@example.com", "hi"));
    const std::vector<uint8_t> image = box.Build();
    const auto map = PstMap::Read(image);
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(map->unicode, GetParam() == PstVariant::Unicode);
    EXPECT_EQ(map->cryptMethod, 2);

    std::set<uint64_t> nids;
    for (const NbtEntry& entry : box.pst().NbtEntries()) {
        SCOPED_TRACE(entry.nid);
        nids.insert(entry.nid);
        const MapNode* node = map->Node(static_cast<uint32_t>(entry.nid));
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->bidData, entry.bidData);
        EXPECT_EQ(node->bidSub, entry.bidSub);
        EXPECT_EQ(node->nidParent, entry.nidParent);
        // Its path climbs to the root of the node tree, one page per level.
        const std::vector<ByteRange> path = map->PagePath(node->leafPage);
        ASSERT_GE(path.size(), 2u);
        EXPECT_EQ(path.back().begin, map->nodeRoot);
    }
    EXPECT_EQ(map->nodes.size(), nids.size());

    for (const BbtEntry& entry : box.pst().BbtEntries()) {
        SCOPED_TRACE(entry.bid);
        const MapBlock* block = map->Block(entry.bid);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block->ib, entry.ib);
        EXPECT_EQ(block->cb, entry.cb);
        // The trailer, where the builder wrote it, lies inside the block's range.
        const ByteRange range = map->BlockRange(*block);
        const uint64_t trailer = box.pst().TrailerOffset(entry.bid);
        EXPECT_GE(trailer, range.begin);
        EXPECT_LE(trailer + map->BlockTrailerSize(), range.end);
    }
    EXPECT_EQ(map->pages.size(), box.pst().BuiltPages().size());

    // A message's footprint holds its data block, its subnode block and their pages.
    const MapNode* message = nullptr;
    for (const auto& [nid, node] : map->nodes)
        if ((nid & 0x1F) == 4) message = &node;
    ASSERT_NE(message, nullptr);
    const std::vector<ByteRange> footprint = map->NodeFootprint(message->nid);
    EXPECT_TRUE(Inside(map->Block(message->bidData)->ib, footprint));
    EXPECT_TRUE(Inside(message->entryOffset, footprint));
    EXPECT_TRUE(Inside(map->Block(message->bidData)->entryOffset, footprint));
    EXPECT_FALSE(map->HeapStartBlocks().empty());
}

TEST_P(DamageKit, CopiesChangeOnlyWhatTheyReportAndAreTheSameEveryTime) {
    const std::vector<uint8_t> image = BuiltMailbox(GetParam(), 1);
    const DamageSet damage(image, "box");
    ASSERT_TRUE(damage.map().has_value());
    std::set<std::string> names;
    std::set<DamageKind> kinds;
    for (size_t i = 0; i < damage.size(); ++i) {
        const auto copy = damage.Make(i);
        if (!copy) continue;
        SCOPED_TRACE(copy->name);
        EXPECT_TRUE(names.insert(copy->name).second);
        kinds.insert(copy->kind);
        ASSERT_FALSE(copy->damaged.empty());
        ASSERT_LE(copy->bytes.size(), image.size());
        if (copy->bytes.size() < image.size()) {
            EXPECT_TRUE(Inside(copy->bytes.size(), copy->damaged)) << "the cut is reported";
        }
        bool changed = copy->bytes.size() != image.size();
        for (size_t at = 0; at < copy->bytes.size(); ++at) {
            if (copy->bytes[at] == image[at]) continue;
            changed = true;
            ASSERT_TRUE(Inside(at, copy->damaged)) << "byte " << at << " changed unreported";
        }
        EXPECT_TRUE(changed);
        EXPECT_EQ(damage.Make(i)->bytes, copy->bytes);
    }
    // The built mailbox has something for every kind of damage to aim at; a tail over the
    // B-tree pages only where they end the file.
    EXPECT_EQ(kinds.size() + !kinds.count(DamageKind::RandomBTreeTail), 16u);
}

INSTANTIATE_TEST_SUITE_P(Variants, DamageKit,
                         ::testing::Values(PstVariant::Unicode, PstVariant::Ansi),
                         [](const auto& info) {
                             return info.param == PstVariant::Unicode ? "Unicode" : "Ansi";
                         });

}  // namespace
}  // namespace kestrel::test

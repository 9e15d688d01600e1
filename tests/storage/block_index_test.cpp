// The block index's lookup as it grows: every BID found, the first record of a BID
// answering for the later ones, BIDs that hash alike and BIDs never stored.
#include "storage/block_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kestrel {
namespace {

// Records stay where they were put across chunk boundaries, and read back in order; a
// lookup built after a deferred load answers as one kept up while loading.
TEST(BlockIndexLookup, RecordsStayPutAndADeferredLookupAnswersTheSame) {
    StableList<uint64_t, 4> list;
    std::vector<const uint64_t*> where;
    for (uint64_t i = 0; i < 11; ++i) {
        list.push_back(i * 3);
        where.push_back(&list.back());
    }
    for (uint64_t i = 0; i < 11; ++i) EXPECT_EQ(where[i], &list[i]);
    uint64_t expected = 0;
    for (uint64_t value : list) EXPECT_EQ(value, 3 * expected++);
    EXPECT_EQ(expected, 11u);

    BlockIndex kept;
    BlockIndex deferred;
    deferred.DeferLookup();
    for (uint64_t i = 0; i < 3000; ++i) {
        const uint64_t bid = 4 + 4 * (i % 2500) + (i % 7 == 0 ? 1 : 0);
        kept.Append({bid, i, 1});
        deferred.Append({bid, i, 1});
    }
    deferred.BuildDeferredLookup();
    for (uint64_t bid = 0; bid < 10100; ++bid) {
        const BlockRecord* a = kept.Find(bid);
        const BlockRecord* b = deferred.Find(bid);
        ASSERT_EQ(a == nullptr, b == nullptr) << bid;
        if (a) {
            EXPECT_EQ(a->ib, b->ib) << bid;
        }
    }
}

TEST(BlockIndexLookup, FirstRecordOfEachBidAcrossGrowth) {
    BlockIndex index;
    std::vector<uint64_t> bids;
    for (uint64_t i = 1; i <= 20000; ++i) bids.push_back(i * 4 + (i % 3 == 0 ? 2 : 0));
    // BIDs far apart and only in their high bits, as a damaged page can give.
    for (uint64_t i = 1; i <= 500; ++i) bids.push_back(i << 40);
    for (size_t i = 0; i < bids.size(); ++i) index.Append({bids[i], i, 1});
    // The same BIDs again, later: never the answer.
    for (size_t i = 0; i < bids.size(); i += 7) index.Append({bids[i], 999999, 1});
    ASSERT_EQ(index.size(), bids.size() + (bids.size() + 6) / 7);

    for (size_t i = 0; i < bids.size(); ++i) {
        const BlockRecord* found = index.Find(bids[i] | 1);
        ASSERT_NE(found, nullptr) << bids[i];
        EXPECT_EQ(found->ib, i) << bids[i];
    }
    for (uint64_t missing : {uint64_t{0}, uint64_t{1}, uint64_t{80004}, uint64_t{3} << 50}) {
        EXPECT_EQ(index.Find(missing), nullptr) << missing;
    }
    index.Clear();
    EXPECT_EQ(index.Find(bids[0]), nullptr);
    index.Append({8, 5, 1});
    EXPECT_EQ(index.Find(8)->ib, 5u);
}

}  // namespace
}  // namespace kestrel

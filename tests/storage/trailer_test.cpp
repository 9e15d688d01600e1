// Page and block trailers and the header CRC, read back from files the builder wrote with a
// CRC of its own: the layout's trailer positions and our CRC must agree with it.
#include <gtest/gtest.h>

#include "storage/block_trailer.h"
#include "storage/crc.h"
#include "storage/page.h"
#include "storage/pst_context.h"
#include "support/layouts.h"
#include "pstwrite/pst_builder.h"

namespace kestrel {
namespace {

using test::BTree;
using test::PstBuilder;

class Trailers : public test::LayoutTest {};
KESTREL_BOTH_LAYOUTS(Trailers);

TEST_P(Trailers, PagesAndBlocksReadBackAsWritten) {
    PstBuilder pst(GetParam());
    pst.limits().pageEntries = 3;
    pst.AddNode(0x21, pst.AddBlock({0x01, 0x02, 0xEC, 0xBC}));
    for (uint8_t i = 0; i < 9; ++i) pst.AddBlock(std::vector<uint8_t>(10 + 30 * i, i));
    const std::vector<uint8_t> image = pst.Build();
    const PstLayout& layout = *PstLayout::For(GetParam());

    ASSERT_GT(pst.BuiltPages().size(), 3u);
    for (const test::BuiltPage& built : pst.BuiltPages()) {
        const ByteReader page(image.data() + built.ib, layout.pageSize);
        const PageTrailer trailer = ReadPageTrailer(layout, page);
        const auto type = built.tree == BTree::Block ? PageType::BlockTree : PageType::NodeTree;
        EXPECT_EQ(trailer.ptype, static_cast<uint8_t>(type));
        EXPECT_EQ(trailer.ptypeRepeat, trailer.ptype);
        EXPECT_EQ(trailer.bid, built.bid);
        EXPECT_EQ(trailer.crc, PstCrc(image.data() + built.ib, layout.pageTrailerPos));
        EXPECT_EQ(ReadBTreePageMetadata(layout, page).level, built.level);
    }
    for (const test::BbtEntry& block : pst.BbtEntries()) {
        const uint64_t at = BlockTrailerOffset(layout, block.ib, block.cb);
        ASSERT_EQ(at, pst.TrailerOffset(block.bid));
        const BlockTrailer trailer =
            ReadBlockTrailer(layout, ByteReader(image.data() + at, layout.blockTrailerSize));
        EXPECT_EQ(trailer.cb, block.cb);
        EXPECT_EQ(trailer.bid, block.bid);
        EXPECT_EQ(trailer.crc, PstCrc(image.data() + block.ib, block.cb));
        EXPECT_EQ(trailer.cbInflated, block.cbInflated ? block.cbInflated : block.cb);
    }
}

TEST_P(Trailers, HeaderCrcCoversItsBytesOnly) {
    PstBuilder pst(GetParam());
    pst.AddNode(0x21, pst.AddBlock({0x01, 0x02, 0xEC, 0xBC}));
    std::vector<uint8_t> image = pst.Build();
    PstContext sound;
    OpenPstImage(sound, image);
    EXPECT_TRUE(sound.headerCrcValid);
    EXPECT_TRUE(sound.headerMagicValid);

    image[8 + 470] ^= 0x01;  // the last byte the CRC covers
    PstContext damaged;
    OpenPstImage(damaged, image);
    EXPECT_FALSE(damaged.headerCrcValid);
    EXPECT_TRUE(damaged.headerMagicValid);
    EXPECT_EQ(damaged.variant, GetParam());  // read on all the same
}

}  // namespace
}  // namespace kestrel

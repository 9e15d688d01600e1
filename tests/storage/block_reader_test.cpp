// Block decoding and data trees, sound and odd.
#include "storage/block_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>

#include "load_image.h"
#include "support/layouts.h"

namespace kestrel {
namespace {

using test::LoadImage;
using test::PstBuilder;

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

// The builder's encoder has tables of its own: a round trip checks ours against them.
TEST(Encodings, ReaderUndoesTheWritersEncodings) {
    std::vector<uint8_t> all(256);
    std::iota(all.begin(), all.end(), 0);
    std::vector<uint8_t> bytes = all;
    test::EncodeBlockData(1, 4, bytes);
    ASSERT_NE(bytes, all);
    EXPECT_EQ(DecodePermute(bytes.data(), bytes.size(), 1), 0);
    EXPECT_EQ(bytes, all);
    EXPECT_EQ(DecodePermute(nullptr, 4, 1), -1);
    EXPECT_EQ(DecodePermute(bytes.data(), bytes.size(), 2), -1);
    EXPECT_EQ(bytes, all);  // untouched
    // Lengths around the 64-byte steps of a vector decoder, at an odd start.
    for (size_t length : {size_t{1}, size_t{63}, size_t{65}, size_t{191}, size_t{700}}) {
        const std::vector<uint8_t> plain = Pattern(length + 1, static_cast<uint8_t>(length));
        bytes = plain;
        test::EncodeBlockData(1, 4, bytes);
        DecodePermute(bytes.data() + 1, length, 1);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 1, bytes.end()),
                  std::vector<uint8_t>(plain.begin() + 1, plain.end()))
            << length;
    }

    const std::vector<uint8_t> plain = Pattern(700, 3);  // the salt wraps round
    for (uint64_t bid : {uint64_t{4}, uint64_t{0x12345678}, uint64_t{0xFEDC00009ABC0004}}) {
        bytes = plain;
        test::EncodeBlockData(2, bid, bytes);
        ASSERT_NE(bytes, plain);
        DecodeCyclic(bytes.data(), bytes.size(), static_cast<uint32_t>(bid));
        EXPECT_EQ(bytes, plain) << bid;
    }
}

class ReadLayouts : public ::testing::TestWithParam<std::tuple<PstVariant, uint8_t>> {};
INSTANTIATE_TEST_SUITE_P(LayoutsAndEncodings, ReadLayouts,
                         ::testing::Combine(::testing::Values(PstVariant::Ansi, PstVariant::Unicode,
                                                              PstVariant::Unicode4k),
                                            ::testing::Values(uint8_t{0}, uint8_t{1}, uint8_t{2})),
                         [](const auto& info) {
                             return test::VariantTestName(std::get<0>(info.param)) + "Crypt" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST_P(ReadLayouts, NodeDataComesBackDecodedFromBlocksAndTrees) {
    PstBuilder pst(std::get<0>(GetParam()), std::get<1>(GetParam()));
    pst.limits().blockData = 64;
    pst.limits().xblockEntries = 4;
    test::AddStore(pst);
    const auto small = Pattern(40, 1), medium = Pattern(200, 2), large = Pattern(1000, 3);
    const uint64_t single = pst.AddData(small), xblock = pst.AddData(medium),
                   xxblock = pst.AddData(large);
    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);
    EXPECT_EQ(loaded->cryptMethod, std::get<1>(GetParam()));

    std::vector<uint8_t> out;
    EXPECT_EQ(ReadDecodedBlock(*loaded, single, out), small.size());
    EXPECT_EQ(out, small);
    EXPECT_EQ(ReadNodeData(*loaded, FindBlock(*loaded, xblock), out), medium.size());
    EXPECT_EQ(out, medium);
    EXPECT_EQ(ReadNodeData(*loaded, FindBlock(*loaded, xxblock), out), large.size());
    EXPECT_EQ(out, large);
    EXPECT_EQ(ReadDataTree(*loaded, xxblock, out), large.size());

    std::vector<std::vector<uint8_t>> blocks;
    EXPECT_EQ(ReadDataBlocks(*loaded, FindBlock(*loaded, xxblock), blocks), large.size());
    ASSERT_EQ(blocks.size(), 16u);
    EXPECT_EQ(blocks[15], std::vector<uint8_t>(large.begin() + 960, large.end()));
}

// Blocks of a 4 KB-page file stored deflated read back inflated, encoded or not; one whose
// inflated size lies, or whose stream is damaged or cut short, reads as nothing and is
// noted, and no read gives more than the recorded size.
TEST(DeflatedBlocks, InflateToTheirRecordedSizeOrReadAsNothing) {
    std::vector<uint8_t> text;
    for (int i = 0; i < 300; ++i) {
        const std::vector<uint8_t> line = Pattern(20, static_cast<uint8_t>(i % 5));
        text.insert(text.end(), line.begin(), line.end());
    }
    const auto size = static_cast<uint16_t>(text.size());
    for (uint8_t crypt : {0, 1, 2}) {
        SCOPED_TRACE(crypt);
        PstBuilder pst(PstVariant::Unicode4k, crypt);
        test::AddStore(pst);
        const uint64_t sound = pst.AddDeflatedBlock(text);
        const uint64_t longer = pst.AddDeflatedBlock(text, 0, size + 1);
        const uint64_t shorter = pst.AddDeflatedBlock(text, 0, size - 1);
        const uint64_t belowStored = pst.AddDeflatedBlock(text, 0, 3);
        const uint64_t badHeader = pst.AddDeflatedBlock(text);
        const uint64_t flipped = pst.AddDeflatedBlock(text);
        const uint64_t cut = pst.AddDeflatedBlock(text);
        const std::vector<uint8_t> image = pst.Build();
        pst.Patch(pst.Block(badHeader).ib, {0x00});
        const uint64_t middle = pst.Block(flipped).ib + pst.Block(flipped).cb / 2;
        pst.Patch(middle, {static_cast<uint8_t>(image[middle] ^ 0x10)});
        test::BbtEntry shortEntry = pst.Block(cut);
        shortEntry.cb = static_cast<uint16_t>(shortEntry.cb - 8);
        pst.Unindex(cut);
        pst.AddBbtEntry(shortEntry);

        auto loaded = LoadImage(pst);
        ASSERT_EQ(loaded.result, 0);
        ASSERT_TRUE(IsCompressed(*FindBlock(*loaded, sound)))
            << FindBlock(*loaded, sound)->cb << " " << FindBlock(*loaded, sound)->cbInflated;
        std::vector<uint8_t> out;
        EXPECT_EQ(ReadDecodedBlock(*loaded, sound, out), text.size());
        EXPECT_EQ(out, text);
        EXPECT_EQ(loaded->damagedBlocks.Count(), 0u);
        for (uint64_t bid : {longer, shorter, belowStored, badHeader, flipped, cut}) {
            out.assign(3, 0xAA);
            EXPECT_EQ(ReadDecodedBlock(*loaded, bid, out), 0u) << bid;
            EXPECT_TRUE(out.empty()) << bid;
            EXPECT_EQ(ReadNodeData(*loaded, FindBlock(*loaded, bid), out), 0u) << bid;
        }
        EXPECT_EQ(loaded->damagedBlocks.Count(), 6u);
    }
}

class OddTrees : public test::LayoutTest {};
KESTREL_BOTH_LAYOUTS(OddTrees);

TEST_P(OddTrees, EachTreeEndsAndKeepsWhatItCan) {
    PstBuilder pst(GetParam(), 0);  // unencoded, so first bytes can look like a tree's
    test::AddStore(pst);
    const uint64_t a = pst.AddBlock({1, 2, 3}), b = pst.AddBlock({4, 5});
    const uint64_t looksLikeTree = pst.AddBlock({1, 1, 1, 0, 8, 0, 0, 0});
    const uint64_t self = pst.ReserveBid(true);
    pst.AddXBlock({a, self, b}, self);
    const uint64_t inner = pst.AddXBlock({a});
    const uint64_t withInternal = pst.AddXBlock({a, inner, b});
    const uint64_t repeated = pst.AddXBlock({a, a, b});
    const uint64_t capped = pst.AddXBlock({a, b}, 0, 4);
    const uint64_t mixed = pst.AddXXBlock({inner, b});
    const uint64_t tooDeep = pst.AddXXBlock({pst.AddXXBlock({inner}), b});
    const uint64_t overlong = pst.AddXBlock({a, b});
    pst.PatchLe(pst.Block(overlong).ib + 2, 200, 2);  // cEnt far past the block's end
    const uint64_t missing = pst.AddXBlock({a, 0x7FFF0}, 0, 10);
    const uint64_t dataUnder = pst.AddXBlock({looksLikeTree, b});
    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);

    struct Case {
        uint64_t bid;
        std::vector<uint8_t> expected;
    };
    const std::vector<uint8_t> ab{1, 2, 3, 4, 5};
    for (const Case& c : std::vector<Case>{{self, ab},
                                           {withInternal, ab},
                                           {repeated, ab},
                                           {capped, {1, 2, 3, 4}},
                                           {mixed, ab},  // b appended, not starting over
                                           {tooDeep, {4, 5}},
                                           {overlong, ab},
                                           {missing, {}},
                                           {looksLikeTree, {1, 1, 1, 0, 8, 0, 0, 0}},
                                           {dataUnder, {1, 1, 1, 0, 8, 0, 0, 0, 4, 5}}}) {
        std::vector<uint8_t> out{9};
        EXPECT_EQ(ReadNodeData(*loaded, FindBlock(*loaded, c.bid), out), c.expected.size())
            << c.bid;
        EXPECT_EQ(out, c.expected) << c.bid;
    }
    std::atomic<uint32_t> stop{1};
    loaded->stopFlag = &stop;
    std::vector<uint8_t> out;
    EXPECT_EQ(ReadDecodedBlock(*loaded, a, out), 0u);
    EXPECT_EQ(ReadNodeData(*loaded, FindBlock(*loaded, self), out), 0u);
}

}  // namespace
}  // namespace kestrel

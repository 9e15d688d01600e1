// Measuring a node's data without reading it, or reading only its first bytes, gives what
// reading it would, tree shapes odd and sound, blocks missing, past the end of the file or
// cut short by it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "load_image.h"
#include "storage/block_reader.h"

namespace kestrel {
namespace {

using test::PstBuilder;

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

size_t ReadSize(PstContext& context, const BlockRecord* block) {
    std::vector<uint8_t> out;
    return ReadNodeData(context, block, out);
}

// A peek gives the whole read's size, and its first bytes: at least the wanted ones. The
// pieces a visit hands on join to the whole read.
void ExpectPeekAgrees(PstContext& context, const BlockRecord* block, const std::string& where) {
    std::vector<uint8_t> whole;
    const size_t size = ReadNodeData(context, block, whole);
    std::vector<uint8_t> joined;
    EXPECT_EQ(VisitNodeData(context, block,
                            [&joined](std::span<const uint8_t> piece) {
                                joined.insert(joined.end(), piece.begin(), piece.end());
                            }),
              size)
        << where;
    if (size != 0) {
        EXPECT_EQ(joined, whole) << where;
    }
    for (size_t wanted : {1u, 3u, 70u}) {
        std::vector<uint8_t> head;
        EXPECT_EQ(PeekNodeData(context, block, wanted, head), size) << where << " " << wanted;
        EXPECT_GE(head.size(), std::min(wanted, whole.size())) << where << " " << wanted;
        ASSERT_LE(head.size(), whole.size()) << where;
        EXPECT_TRUE(std::equal(head.begin(), head.end(), whole.begin())) << where << " " << wanted;
    }
}

TEST(MeasureData, AgreesWithReadingForEveryTreeShape) {
    for (PstVariant variant : {PstVariant::Ansi, PstVariant::Unicode}) {
        PstBuilder pst(variant, 0);  // unencoded, so first bytes can look like a tree's
        pst.limits().blockData = 64;
        pst.limits().xblockEntries = 4;
        test::AddStore(pst);
        std::vector<uint64_t> bids;
        for (size_t size : {1u, 40u, 64u, 200u, 1000u})
            bids.push_back(pst.AddData(Pattern(size, 1)));
        const uint64_t a = pst.AddBlock({1, 2, 3}), b = pst.AddBlock({4, 5});
        const uint64_t looksLikeTree = pst.AddBlock({1, 1, 1, 0, 8, 0, 0, 0});
        const uint64_t self = pst.ReserveBid(true);
        pst.AddXBlock({a, self, b}, self);
        const uint64_t inner = pst.AddXBlock({a});
        // A block the index places far past the end of the file.
        const uint64_t far = pst.ReserveBid();
        pst.AddBbtEntry({far, uint64_t{1} << 40, 100, 2});
        bids.insert(
            bids.end(),
            {a, looksLikeTree, self, pst.AddXBlock({a, inner, b}), pst.AddXBlock({a, a, b}),
             pst.AddXBlock({a, b}, 0, 4), pst.AddXBlock({a, b}, 0, 400), pst.AddXXBlock({inner, b}),
             pst.AddXXBlock({pst.AddXXBlock({inner}), b}), pst.AddXBlock({a, 0x7FFF0}, 0, 10),
             pst.AddXBlock({looksLikeTree, b}), pst.AddXBlock({a, far}), far});
        auto loaded = test::LoadImage(pst);
        ASSERT_EQ(loaded.result, 0);
        for (uint64_t bid : bids) {
            const BlockRecord* block = FindBlock(*loaded, bid);
            EXPECT_EQ(MeasureDataBlocks(*loaded, block), ReadSize(*loaded, block)) << bid;
            ExpectPeekAgrees(*loaded, block, std::to_string(bid));
        }
        EXPECT_EQ(MeasureDataBlocks(*loaded, nullptr), 0u);
        std::atomic<uint32_t> stop{1};
        loaded->stopFlag = &stop;
        EXPECT_EQ(MeasureDataBlocks(*loaded, FindBlock(*loaded, bids[3])), 0u);
    }
}

TEST(MeasureData, AFileCutShortAfterLoadingMeasuresWhatIsLeft) {
    PstBuilder pst(PstVariant::Unicode);
    test::AddStore(pst);
    // The tree's root first, its data blocks after it: a cut can fall in the last of them.
    const uint64_t first = pst.ReserveBid(), last = pst.ReserveBid();
    const uint64_t tree = pst.AddXBlock({first, last}, 0, 1024);
    pst.AddBlock(Pattern(512, 1), first);
    pst.AddBlock(Pattern(512, 2), last);
    const std::vector<uint8_t> image = pst.Build();
    const test::ScratchPath scratch{std::filesystem::temp_directory_path() /
                                    ("kestrel-measure-" + std::to_string(::getpid()))};
    std::ofstream(scratch.path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    PstContext context;
    ASSERT_EQ(OpenPstFile(context, scratch.path.string()), 0);
    ASSERT_EQ(LoadIndexes(context), 0);
    const BlockRecord* root = FindBlock(context, tree);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(MeasureDataBlocks(context, root), 1024u);

    ASSERT_EQ(::truncate(scratch.path.c_str(), static_cast<off_t>(pst.Block(last).ib + 100)), 0);
    EXPECT_EQ(ReadSize(context, root), 612u);
    EXPECT_EQ(MeasureDataBlocks(context, root), 612u);
    ExpectPeekAgrees(context, root, "cut");
}

}  // namespace
}  // namespace kestrel

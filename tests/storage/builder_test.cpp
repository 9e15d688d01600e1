// The fixture builders write the format's own structures: checked byte by byte here,
// through the storage reader, and through the Debian peer readers when they are installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>

#include "items/heap_on_node.h"
#include "load_image.h"
#include "storage/block_reader.h"
#include "support/mailbox_builder.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
using Bytes = std::vector<uint8_t>;

uint64_t Le(const Bytes& b, size_t at, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= uint64_t{b.at(at + i)} << (8 * i);
    return v;
}

Bytes Pattern(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + i / 251);
    return bytes;
}

uint32_t Crc(const Bytes& b, size_t from, size_t count) {
    return ComputeCrc(std::span<const uint8_t>(b.data() + from, count));
}

class BuilderVariants : public ::testing::TestWithParam<PstVariant> {
  protected:
    bool unicode() const { return GetParam() == PstVariant::Unicode; }
};
INSTANTIATE_TEST_SUITE_P(Layouts, BuilderVariants,
                         ::testing::Values(PstVariant::Ansi, PstVariant::Unicode),
                         [](const auto& info) {
                             return info.param == PstVariant::Ansi ? "Ansi" : "Unicode";
                         });

TEST(BuilderEncoding, TablesChecksumAndSignatureMatchTheFormat) {
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0);

    Bytes permuted = all;
    EncodeBlockData(1, 4, permuted);
    EXPECT_EQ(permuted[0x00], 0x41);
    EXPECT_EQ(permuted[0xEC], 0xFF);  // a heap signature byte as it lies in the file
    Bytes sorted = permuted;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, all) << "the permutation must be a bijection";
    Bytes back = permuted;
    ASSERT_EQ(DecodePermute(back.data(), back.size(), 1), 0);  // the reader's own table
    EXPECT_EQ(back, all);

    Bytes cyclic = all, otherKey = all;
    EncodeBlockData(2, 0x12345678, cyclic);
    EncodeBlockData(2, 0x12345679, otherKey);
    EXPECT_NE(cyclic, all);
    EXPECT_NE(cyclic, otherKey);
    Bytes decoded = cyclic;
    DecodeCyclic(decoded.data(), decoded.size(), 0x12345678);
    EXPECT_EQ(decoded, all);

    const std::string check = "123456789";
    EXPECT_EQ(ComputeCrc(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(check.data()),
                                                  check.size())),
              0x2DFD2D88u);
    // Signatures as a real file carries them beside these offsets and BIDs.
    EXPECT_EQ(ComputeSignature(0x7400, 0x4DE), 0x70DE);
    EXPECT_EQ(ComputeSignature(0x9600, 0x24A), 0x944A);
}

TEST_P(BuilderVariants, HeaderCarriesRootsSizesAndChecksums) {
    PstBuilder pst(GetParam(), 2);
    AddStore(pst);
    pst.header().wVer = unicode() ? 23 : 15;
    const Bytes image = pst.Build();

    EXPECT_EQ(Le(image, 0, 4), 0x4E444221u);  // "!BDN"
    EXPECT_EQ(Le(image, 8, 2), 0x4D53u);      // "SM"
    EXPECT_EQ(Le(image, 10, 2), unicode() ? 23u : 15u);
    EXPECT_EQ(Le(image, 4, 4), Crc(image, 8, 471));
    const size_t sentinel = unicode() ? 512 : 460;
    EXPECT_EQ(image[sentinel], 0x80);
    EXPECT_EQ(image[sentinel + 1], 2);
    if (unicode()) {
        EXPECT_EQ(Le(image, 524, 4), Crc(image, 8, 516));
    }

    const size_t id = unicode() ? 8 : 4, root = unicode() ? 180 : 164;
    EXPECT_EQ(Le(image, root + 4, id), image.size()) << "ibFileEof";
    EXPECT_EQ(image[root + 4 + 8 * id], 2) << "fAMapValid";
    // Each BREF names a page of its tree whose trailer repeats the BID.
    for (auto [bref, ptype] : {std::pair{root + 4 + 4 * id, 0x81}, {root + 4 + 6 * id, 0x80}}) {
        const uint64_t bid = Le(image, bref, id), ib = Le(image, bref + id, id);
        const size_t trailer = ib + (unicode() ? 496 : 500);
        EXPECT_EQ(image.at(trailer), ptype);
        EXPECT_EQ(image.at(trailer + 1), ptype);
        EXPECT_EQ(Le(image, trailer + (unicode() ? 8 : 4), id), bid);
    }
}

TEST_P(BuilderVariants, AutomaticTreesAreSoundAtEveryLevel) {
    PstBuilder pst(GetParam());
    pst.limits().pageEntries = 3;
    std::vector<uint64_t> bids;
    for (int i = 0; i < 40; ++i) bids.push_back(pst.AddBlock(Pattern(10 + i)));
    for (uint32_t i = 0; i < 25; ++i) pst.AddNode(0x21 + 32 * i, bids[i], 0, 0);
    const Bytes image = pst.Build();

    uint8_t deepest = 0;
    for (const BuiltPage& page : pst.BuiltPages()) {
        const size_t meta = page.ib + (unicode() ? 488 : 496);
        const size_t trailer = page.ib + (unicode() ? 496 : 500);
        const uint8_t ptype = page.tree == BTree::Block ? 0x80 : 0x81;
        EXPECT_EQ(image[meta], page.entries);
        EXPECT_EQ(image[meta + 1], pst.PageCapacity(page.tree, page.level));
        EXPECT_EQ(image[meta + 3], page.level);
        EXPECT_EQ(image[trailer], ptype);
        EXPECT_EQ(image[trailer + 1], ptype);
        EXPECT_EQ(Le(image, trailer + 2, 2), ComputeSignature(page.ib, page.bid));
        const size_t crcAt = trailer + (unicode() ? 4 : 8);
        EXPECT_EQ(Le(image, crcAt, 4), Crc(image, page.ib, trailer - page.ib));
        EXPECT_EQ(Le(image, page.ib, unicode() ? 8 : 4), page.firstKey);
        deepest = std::max(deepest, page.level);
    }
    EXPECT_GE(deepest, 2);

    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);
    EXPECT_EQ(loaded->blocks.size(), 40u);
    for (uint32_t i = 0; i < 25; ++i) {
        const NodeRecord* node = FindNode(*loaded, 0x21 + 32 * i);
        ASSERT_NE(node, nullptr) << i;
        ASSERT_NE(node->dataBlock, nullptr);
        EXPECT_EQ(node->dataBlock->ib, pst.Block(bids[i]).ib);
    }
}

TEST(BuilderPages, HandMadeLeafWithTooManyEntriesSpillsPastItsPage) {
    PstBuilder pst(PstVariant::Ansi);
    std::vector<BbtEntry> entries;
    for (uint64_t i = 1; i <= 45; ++i) entries.push_back({i * 4, 0x10000 + i * 64, 16, 2});
    const PageRef leaf = pst.AddBbtLeaf(entries);
    const uint64_t after = pst.PlaceRaw(Bytes(512, 0xAA));
    pst.SetRoot(BTree::Block, leaf);
    AddStore(pst);
    const Bytes image = pst.Build();

    EXPECT_EQ(after, leaf.ib + 1024) << "45 entries take two pages' room";
    EXPECT_EQ(Le(image, leaf.ib, 4), 4u);
    EXPECT_EQ(Le(image, leaf.ib + 42 * 12, 4), 43u * 4) << "over the trailer, into the next page";
    EXPECT_EQ(Le(image, leaf.ib + 44 * 12, 4), 45u * 4);
}

TEST(BuilderPages, ReservedSlotLetsAPageListItself) {
    PstBuilder pst(PstVariant::Unicode);
    const PageRef self = pst.ReservePage();
    EXPECT_EQ(pst.AddBtPage(BTree::Node, 1, {{0x21, self.bid, self.ib}}, self).ib, self.ib);
    pst.SetRoot(BTree::Node, self);
    const Bytes image = pst.Build();
    EXPECT_EQ(Le(image, self.ib + 16, 8), self.ib);
    EXPECT_EQ(Le(image, self.ib + 504, 8), self.bid);
    EXPECT_EQ(Le(image, 224, 8), self.ib) << "the header's node-tree root";
}

TEST_P(BuilderVariants, DataTreesHoldTheBytesInOrder) {
    PstBuilder pst(GetParam(), 2);
    const Bytes data = Pattern(20000);
    const uint64_t xblock = pst.AddData(data);
    pst.limits().blockData = 1000;
    pst.limits().xblockEntries = 5;
    const uint64_t xxblock = pst.AddData(data);
    AddStore(pst);
    const Bytes image = pst.Build();

    ASSERT_EQ(xblock & 2, 2u) << "a data tree has an internal BID";
    const BbtEntry& x = pst.Block(xblock);
    EXPECT_EQ(image[x.ib], 1);
    EXPECT_EQ(image[x.ib + 1], 1);
    EXPECT_EQ(Le(image, x.ib + 2, 2), 3u);
    EXPECT_EQ(Le(image, x.ib + 4, 4), 20000u);
    const BbtEntry& xx = pst.Block(xxblock);
    EXPECT_EQ(image[xx.ib + 1], 2);
    EXPECT_EQ(Le(image, xx.ib + 2, 2), 4u);
    EXPECT_EQ(Le(image, xx.ib + 4, 4), 20000u);
    EXPECT_EQ(Le(image, pst.TrailerOffset(xxblock), 2), xx.cb);

    auto loaded = LoadImage(pst);
    ASSERT_EQ(loaded.result, 0);
    for (uint64_t bid : {xblock, xxblock}) {
        Bytes out;
        EXPECT_EQ(ReadNodeData(*loaded, FindBlock(*loaded, bid), out), data.size());
        EXPECT_EQ(out, data);
    }
}

TEST_P(BuilderVariants, ManySubnodesGoUnderAnIntermediateBlockSorted) {
    PstBuilder pst(GetParam());
    pst.limits().slEntries = 2;
    const uint64_t data = pst.AddBlock({1, 2, 3});
    std::vector<SlEntry> entries;
    for (uint64_t nid : {0x1FF, 0x1BF, 0x17F, 0x13F, 0x0FF}) entries.push_back({nid, data, 0});
    const uint64_t top = pst.AddSubnodes(entries);
    const Bytes image = pst.Build();

    const size_t id = unicode() ? 8 : 4, start = unicode() ? 8 : 4;
    const BbtEntry& si = pst.Block(top);
    EXPECT_EQ(image[si.ib], 2);
    EXPECT_EQ(image[si.ib + 1], 1);
    ASSERT_EQ(Le(image, si.ib + 2, 2), 3u);
    std::vector<uint64_t> nids;
    for (size_t i = 0; i < 3; ++i) {
        const uint64_t firstNid = Le(image, si.ib + start + 2 * id * i, id);
        const BbtEntry& sl = pst.Block(Le(image, si.ib + start + 2 * id * i + id, id));
        EXPECT_EQ(image[sl.ib], 2);
        EXPECT_EQ(image[sl.ib + 1], 0);
        EXPECT_EQ(Le(image, sl.ib + start, id), firstNid);
        for (size_t k = 0; k < Le(image, sl.ib + 2, 2); ++k)
            nids.push_back(Le(image, sl.ib + start + 3 * id * k, id));
    }
    EXPECT_EQ(nids, (std::vector<uint64_t>{0x0FF, 0x13F, 0x17F, 0x1BF, 0x1FF}));
}

TEST(BuilderAMap, MarksWhatIsUsedAndCountsTheRest) {
    PstBuilder pst(PstVariant::Unicode);
    const uint64_t bid = pst.AddBlock(Pattern(100));  // 100 + 16 bytes: two 64-byte chunks
    pst.AddNode(0x21, bid);
    const Bytes image = pst.Build();

    ASSERT_EQ(image.size(), 0x4400u + 253952);
    EXPECT_EQ(Le(image, 192, 8), 0x4400u) << "ibAMapLast";
    EXPECT_EQ(image[0x4400 + 496], 0x84);
    EXPECT_EQ(Le(image, 0x4400 + 504, 8), 0x4400u);
    EXPECT_EQ(Le(image, 0x4400 + 500, 4), Crc(image, 0x4400, 496));
    EXPECT_EQ(image[0x4400], 0xFF);  // the AMap page itself
    EXPECT_EQ(image[0x4401], 0xFF);  // the PMap page after it
    const uint64_t chunk = (pst.Block(bid).ib - 0x4400) / 64;
    const auto bit = [&](uint64_t c) { return (image[0x4400 + c / 8] >> (7 - c % 8)) & 1; };
    EXPECT_EQ(bit(chunk), 1);
    EXPECT_EQ(bit(chunk + 1), 1);
    EXPECT_EQ(bit(3000), 0);
    uint64_t freeChunks = 0;
    for (uint64_t c = 0; c < 496 * 8; ++c) freeChunks += 1 - bit(c);
    EXPECT_EQ(Le(image, 200, 8), freeChunks * 64) << "cbAMapFree";
}

TEST(HeapBuilder, SpreadsOverBlocksWithTheirPageHeaders) {
    HeapBuilder heap(0xBC, 200);
    std::vector<uint32_t> hids;
    for (int i = 0; i < 40; ++i) hids.push_back(heap.Allocate(Bytes(50, static_cast<uint8_t>(i))));
    heap.SetUserRoot(hids[3]);
    const auto blocks = heap.Finish();
    ASSERT_GE(blocks.size(), 10u);

    EXPECT_EQ(blocks[0][2], 0xEC);
    EXPECT_EQ(blocks[0][3], 0xBC);
    EXPECT_EQ(Le(blocks[0], 4, 4), hids[3]);
    // The first allocation of a block follows its header: 12, 2, or 66 bytes every 128.
    const auto firstAllocation = [&](size_t i) {
        return Le(blocks[i], Le(blocks[i], 0, 2) + 4, 2);
    };
    EXPECT_EQ(firstAllocation(0), 12u);
    EXPECT_EQ(firstAllocation(1), 2u);
    EXPECT_EQ(firstAllocation(8), 66u);
    for (const auto& block : blocks) EXPECT_LE(block.size(), 200u);

    HeapOnNode reader(blocks);  // the item layer's own lookup
    ASSERT_TRUE(reader.valid());
    for (int i = 0; i < 40; ++i) {
        auto allocation = reader.Allocation(hids[i]);
        ASSERT_TRUE(allocation) << i;
        EXPECT_EQ(Bytes(allocation->span().begin(), allocation->span().end()),
                  Bytes(50, static_cast<uint8_t>(i)));
    }
}

// The peers must see what the builder meant: folders, subjects, attachments.
TEST_P(BuilderVariants, DebianPeersReadTheMailbox) {
    if (std::system("command -v readpst >/dev/null 2>&1 && command -v pffexport >/dev/null 2>&1"))
        GTEST_SKIP() << "readpst or pffexport is not installed";
    const std::filesystem::path dir =
        std::filesystem::path(::testing::TempDir()) / (unicode() ? "peers-unicode" : "peers-ansi");
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "readpst");

    // The Ansi file is cyclic-encoded and has no named properties of its own.
    MailboxBuilder::Options options;
    options.cryptMethod = unicode() ? 1 : 2;
    MailboxBuilder box(GetParam(), options);
    Message m = MakeMail("Grüße, peers", "Ann Lee", "ann@example.com", "Body");
    m.subjectPrefix = "RE: ";
    m.recipients = {{"Bob", "bob@example.com"}};
    m.attachments = {{"DATA.BIN", "data.bin", Pattern(9000), "application/octet-stream", {}}};
    box.AddMessage(box.AddFolder(box.Folder("Inbox"), "Projects"), m);
    if (unicode())
        box.AddMessage(box.Folder("Contacts"),
                       MakeContact({.displayName = "Bob", .email = "b@x.org"}));
    const std::filesystem::path file = dir / "box.pst";
    box.WriteTo(file);

    const std::string readpst = "readpst -q -D -j0 -o " + (dir / "readpst").string() + " " +
                                file.string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(readpst.c_str()), 0);
    std::ifstream mbox(dir / "readpst" / "Projects.mbox");
    std::stringstream text;
    text << mbox.rdbuf();
    EXPECT_NE(text.str().find("Subject: =?utf-8?B?UkU6IEdyw7zDn2UsIHBlZXJz?="), std::string::npos)
        << text.str().substr(0, 400);
    EXPECT_NE(text.str().find("filename=\"data.bin\""), std::string::npos);
    EXPECT_EQ(std::filesystem::exists(dir / "readpst" / "Contacts.contacts"), unicode());

    const std::string pffexport =
        "pffexport -q -t " + (dir / "pff").string() + " " + file.string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(pffexport.c_str()), 0);
    const auto message =
        dir / "pff.export" / "Top of Personal Folders" / "Inbox" / "Projects" / "Message00001";
    EXPECT_EQ(std::filesystem::file_size(message / "Attachments" / "1_data.bin"), 9000u);
    EXPECT_EQ(std::filesystem::exists(dir / "pff.export" / "Top of Personal Folders" / "Contacts" /
                                      "Contact00001"),
              unicode());
}

}  // namespace
}  // namespace kestrel

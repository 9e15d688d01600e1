// The fixture builders write the format's own structures: checked byte by byte here,
// through the storage reader, and through the Debian peer readers when they are installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <sstream>
#include <string>

#include "items/heap_on_node.h"
#include "items/rtf_decompress.h"
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

// --- Lists, tables and properties ---

// A property context's records, decoded with the item layer's heap lookup: for each id
// the type, the value word and the value bytes (heap, subnode, or none for inline ones).
struct PcRecord {
    uint16_t type = 0;
    uint32_t word = 0;
    std::optional<Bytes> bytes;
};

Bytes SubnodeData(const LtpNode& node, uint32_t nid) {
    for (const auto& sub : node.subnodes) {
        if (sub.nid != nid) continue;
        Bytes all;
        for (const auto& b : sub.node.blocks) all.insert(all.end(), b.begin(), b.end());
        return all;
    }
    ADD_FAILURE() << "no subnode " << nid;
    return {};
}

Bytes Allocation(const HeapOnNode& heap, uint32_t hid) {
    auto a = heap.Allocation(hid);
    if (!a) {
        ADD_FAILURE() << "HID " << hid << " does not resolve";
        return {};
    }
    return Bytes(a->span().begin(), a->span().end());
}

std::map<uint16_t, PcRecord> ReadPc(const HeapOnNode& heap, const LtpNode* node = nullptr) {
    std::map<uint16_t, PcRecord> out;
    const Bytes header = Allocation(heap, heap.userRoot());
    EXPECT_EQ(Le(header, 0, 4) & 0xFFFFFF, 0x0602B5u) << "bType, cbKey 2, cbEnt 6";
    EXPECT_EQ(header.at(3), 0) << "one leaf";
    const Bytes leaf = Allocation(heap, static_cast<uint32_t>(Le(header, 4, 4)));
    uint16_t previous = 0;
    for (size_t at = 0; at + 8 <= leaf.size(); at += 8) {
        const auto id = static_cast<uint16_t>(Le(leaf, at, 2));
        EXPECT_GT(id, previous) << "records sorted by id";
        previous = id;
        PcRecord r{static_cast<uint16_t>(Le(leaf, at + 2, 2)),
                   static_cast<uint32_t>(Le(leaf, at + 4, 4)), std::nullopt};
        if (r.word != 0 && (r.word & 0x1F) == 0)
            r.bytes = Allocation(heap, r.word);
        else if ((r.word & 0x1F) == kNidTypeLtp && node)
            r.bytes = SubnodeData(*node, r.word);
        out[id] = r;
    }
    return out;
}

TEST(LtpBuilder, PropertyValuesGoInlineInTheHeapOrInASubnode) {
    LtpBuilder ltp(PstVariant::Unicode);
    const Bytes big = Pattern(5000);
    const LtpNode node = ltp.PropertyContext(
        {Prop::Int32(0x0E07, 0x11223344), Prop::Bool(0x0E1B, true), Prop::Time(0x0E06, 42),
         Prop::Unicode(0x0037, "Hi"), Prop::Unicode(0x0E1D, ""), Prop::Binary(0x1013, big),
         Prop::Binary(0x3701, {1, 2, 3}).InSubnode()});
    const HeapOnNode heap(node.blocks);
    ASSERT_TRUE(heap.valid());
    EXPECT_EQ(heap.clientSignature(), 0xBC);
    auto pc = ReadPc(heap, &node);
    ASSERT_EQ(pc.size(), 7u);
    EXPECT_EQ(pc[0x0E07].word, 0x11223344u);
    EXPECT_FALSE(pc[0x0E07].bytes);
    EXPECT_EQ(pc[0x0E1B].word, 1u);
    EXPECT_EQ(pc[0x0E06].bytes, Bytes({42, 0, 0, 0, 0, 0, 0, 0})) << "8-byte values in the heap";
    EXPECT_EQ(pc[0x0037].bytes, Bytes({'H', 0, 'i', 0}));
    EXPECT_EQ(pc[0x0E1D].word, 0u) << "an empty value is HNID 0";
    EXPECT_EQ(pc[0x1013].word & 0x1F, kNidTypeLtp);
    EXPECT_EQ(pc[0x1013].bytes, big);
    EXPECT_EQ(pc[0x3701].bytes, Bytes({1, 2, 3}));
    ASSERT_EQ(node.subnodes.size(), 2u);
    EXPECT_EQ(node.subnodes[0].node.blocks.size(), 1u) << "5000 bytes fit one block";
}

TEST_P(BuilderVariants, TableRowsFollowTheirColumnLayout) {
    LtpBuilder ltp(GetParam());
    Table table;
    table.columns = {MakeTag(0x3001, kPtUnicode), MakeTag(0x0E06, kPtSysTime),
                     MakeTag(0x360A, kPtBoolean), MakeTag(0x3602, kPtLong)};
    table.rows = {{0x8062, {Prop::Unicode(0x3001, "B"), Prop::Int32(0x3602, 7)}},
                  {0x8022, {Prop::Unicode(0x3001, "A"), Prop::Bool(0x360A, true)}},
                  {0x8042, {Prop::Time(0x0E06, 9)}}};
    for (bool inSubnode : {false, true}) {
        table.rowsInSubnode = inSubnode;
        table.rowsPerBlock = 2;
        const LtpNode node = ltp.TableContext(table);
        const HeapOnNode heap(node.blocks);
        ASSERT_TRUE(heap.valid());
        EXPECT_EQ(heap.clientSignature(), 0x7C);
        const Bytes info = Allocation(heap, heap.userRoot());
        ASSERT_EQ(info.at(0), 0x7C);
        const size_t cols = info.at(1);
        ASSERT_EQ(cols, 6u) << "four columns, row id and version";
        const size_t rowSize = Le(info, 8, 2);
        EXPECT_LE(Le(info, 2, 2), Le(info, 4, 2));
        EXPECT_LE(Le(info, 4, 2), Le(info, 6, 2));
        EXPECT_EQ(rowSize, Le(info, 6, 2) + 1) << "one bitmap byte for six columns";
        std::map<uint32_t, std::pair<size_t, size_t>> columns;  // tag -> (ibData, iBit)
        uint32_t previous = 0;
        for (size_t c = 0; c < cols; ++c) {
            const auto tag = static_cast<uint32_t>(Le(info, 22 + 8 * c, 4));
            EXPECT_GT(tag, previous) << "descriptors sorted by tag";
            previous = tag;
            columns[tag] = {Le(info, 26 + 8 * c, 2), info.at(29 + 8 * c)};
        }
        EXPECT_EQ(columns[MakeTag(0x67F2, kPtLong)], std::make_pair(size_t{0}, size_t{0}));

        // Row index: sorted by row id, each naming its row's place in the matrix.
        const Bytes index = Allocation(heap, static_cast<uint32_t>(Le(info, 10, 4)));
        const size_t width = unicode() ? 4 : 2;
        EXPECT_EQ(index.at(2), width);
        const Bytes leaf = Allocation(heap, static_cast<uint32_t>(Le(index, 4, 4)));
        ASSERT_EQ(leaf.size(), 3 * (4 + width));
        EXPECT_EQ(Le(leaf, 0, 4), 0x8022u);
        EXPECT_EQ(Le(leaf, 4, width), 1u);
        EXPECT_EQ(Le(leaf, 4 + width, 4), 0x8042u);

        const auto hnidRows = static_cast<uint32_t>(Le(info, 14, 4));
        Bytes rows;
        if (inSubnode) {
            ASSERT_EQ(hnidRows & 0x1F, kNidTypeLtp);
            ASSERT_EQ(node.subnodes.size(), 1u);
            ASSERT_EQ(node.subnodes[0].node.blocks.size(), 2u);
            EXPECT_EQ(node.subnodes[0].node.blocks[0].size(), 2 * rowSize);
            rows = SubnodeData(node, hnidRows);
        } else {
            rows = Allocation(heap, hnidRows);
        }
        ASSERT_EQ(rows.size(), 3 * rowSize);
        const auto cell = [&](size_t row, uint16_t id, uint16_t type, size_t width) {
            return Le(rows, row * rowSize + columns[MakeTag(id, type)].first, width);
        };
        const auto exists = [&](size_t row, uint16_t id, uint16_t type) {
            const size_t bit = columns[MakeTag(id, type)].second;
            return (rows[row * rowSize + Le(info, 6, 2) + bit / 8] >> (7 - bit % 8)) & 1;
        };
        EXPECT_EQ(cell(0, 0x67F2, kPtLong, 4), 0x8062u);
        EXPECT_EQ(cell(0, 0x3602, kPtLong, 4), 7u);
        EXPECT_EQ(exists(0, 0x360A, kPtBoolean), 0);
        EXPECT_EQ(exists(1, 0x360A, kPtBoolean), 1);
        EXPECT_EQ(cell(1, 0x360A, kPtBoolean, 1), 1u);
        EXPECT_EQ(cell(2, 0x0E06, kPtSysTime, 8), 9u);
        EXPECT_EQ(exists(2, 0x3001, kPtUnicode), 0);
        EXPECT_EQ(Allocation(heap, static_cast<uint32_t>(cell(1, 0x3001, kPtUnicode, 4))),
                  Bytes({'A', 0}));
    }
}

TEST(LtpBuilder, NameMapStreamsNumberGuidsAndStrings) {
    LtpBuilder ltp(PstVariant::Unicode);
    const LtpNode node = ltp.NameToIdMap({{kPsetidAppointment, 0x8208, {}},
                                          {kPsPublicStrings, 0, "Keywords"},
                                          {kPsMapi, 0x1234, {}},
                                          {kPsetidAppointment, 0x8235, {}}});
    auto pc = ReadPc(HeapOnNode(node.blocks), &node);
    EXPECT_EQ(pc[0x0001].word, 251u);
    EXPECT_EQ(pc[0x0002].bytes, Bytes(kPsetidAppointment.begin(), kPsetidAppointment.end()));
    const Bytes entries = pc[0x0003].bytes.value_or(Bytes());
    ASSERT_EQ(entries.size(), 32u);
    const uint64_t expected[4][3] = {{0x8208, 6, 0}, {0, 5, 1}, {0x1234, 2, 2}, {0x8235, 6, 3}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(Le(entries, 8 * i, 4), expected[i][0]) << i;
        EXPECT_EQ(Le(entries, 8 * i + 4, 2), expected[i][1]) << i;
        EXPECT_EQ(Le(entries, 8 * i + 6, 2), expected[i][2]) << i;
    }
    const Bytes strings = pc[0x0004].bytes.value_or(Bytes());
    ASSERT_EQ(strings.size(), 20u);
    EXPECT_EQ(Le(strings, 0, 4), 16u);
    EXPECT_EQ(Bytes(strings.begin() + 4, strings.end()), Utf16("Keywords"));
    // Hash buckets hold the same records under (id or name CRC) XOR guid word.
    const uint16_t bucket = static_cast<uint16_t>(0x1000 + (0x8208 ^ 6) % 251);
    ASSERT_TRUE(pc.count(bucket));
    EXPECT_EQ(Le(*pc[bucket].bytes, 0, 4), 0x8208u);
}

TEST(LtpBuilder, TextTimesAndRtfValues) {
    EXPECT_EQ(Utf16("A\xE2\x82\xAC\xF0\x9F\x98\x80"),
              Bytes({0x41, 0x00, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(CodePageBytes("Gr\xC3\xBC\xC3\x9F"
                            "e",
                            1252),
              Bytes({'G', 'r', 0xFC, 0xDF, 'e'}));
    EXPECT_EQ(CodePageBytes("\xD0\x96", 1251), Bytes({0xC6}));
    EXPECT_THROW(CodePageBytes("\xE6\x97\xA5", 1252), std::invalid_argument);
    EXPECT_EQ(FileTime(1601, 1, 1), 0u);
    EXPECT_EQ(FileTime(2007, 1, 1, 12), 128121264000000000u);
    EXPECT_EQ(FileTime(2000, 3, 1), 125963424000000000u);

    const std::string rtf = "{\\rtf1\\ansi " + std::string(5000, 'x') + "}";
    for (bool compressed : {true, false}) {
        const RtfDecompressResult r = DecompressRtf(CompressRtf(rtf, compressed));
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.compressed, compressed);
        EXPECT_FALSE(r.crcMismatch);
        EXPECT_EQ(r.rtf, rtf);
    }
}

// --- Mailboxes ---

TEST(MailboxBuilder, NodesHangWhereOutlookPutsThem) {
    MailboxBuilder box(PstVariant::Unicode);
    const uint32_t inbox = box.Folder("Inbox");
    const uint32_t sub = box.AddFolder(inbox, "Sub", "");
    const uint32_t mail = box.AddMessage(sub, MakeMail("s", "a", "a@x.org", "b"));
    box.Build();
    std::map<uint64_t, uint32_t> parent;
    for (const NbtEntry& e : box.pst().NbtEntries()) {
        EXPECT_FALSE(parent.count(e.nid)) << "NID " << e.nid << " written twice";
        parent[e.nid] = e.nidParent;
    }
    EXPECT_EQ(parent.at(kNidMessageStore), 0u);
    EXPECT_EQ(parent.at(kNidNameToIdMap), 0u);
    EXPECT_EQ(parent.at(kNidRootFolder), kNidRootFolder);
    EXPECT_EQ(parent.at(box.TopOfPersonalFolders()), kNidRootFolder);
    EXPECT_EQ(parent.at(inbox), box.TopOfPersonalFolders());
    EXPECT_EQ(parent.at(sub), inbox);
    EXPECT_EQ(parent.at(mail), sub);
    EXPECT_EQ(mail & 0x1F, kNidTypeNormalMessage);
    for (uint32_t type :
         {kNidTypeHierarchyTable, kNidTypeContentsTable, kNidTypeAssocContentsTable})
        EXPECT_EQ(parent.at((sub & ~0x1Fu) | type), 0u) << type;
}

TEST(MailboxBuilder, AnsiTextIsInTheMessagesCodePage) {
    MailboxBuilder box(PstVariant::Ansi);
    Message m = MakeMail("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", "a", "a@x.org", "b");
    m.codePage = 1251;
    m.subjectPrefix = "RE: ";
    const uint32_t nid = box.AddMessage(box.Folder("Inbox"), m);
    PstContext context;
    ASSERT_EQ(OpenPstImage(context, box.Build()), 0);
    ASSERT_EQ(LoadIndexes(context), 0);
    const NodeRecord* node = FindNode(context, nid);
    ASSERT_NE(node, nullptr);
    auto pc = ReadPc(HeapOnNode::Load(context, node->dataBlock));
    EXPECT_EQ(pc[0x0037].type, kPtString8);
    EXPECT_EQ(pc[0x0037].bytes,
              Bytes({0x01, 0x04, 'R', 'E', ':', ' ', 0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2}));
    EXPECT_EQ(pc[0x3FFD].word, 1251u);
}

}  // namespace
}  // namespace kestrel

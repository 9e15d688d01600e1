// The fixture builder writes the format's own structures: its checksum, signatures and
// permutation table, header and page checksums, and mailboxes the Debian peers open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>

#include "load_image.h"
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

// Known values, so that the builder and the reader cannot agree on a wrong table.
TEST(BuilderFormat, ChecksumSignatureAndPermutationAreTheFormats) {
    const std::string check = "123456789";
    EXPECT_EQ(ComputeCrc(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(check.data()),
                                                  check.size())),
              0x2DFD2D88u);
    // Signatures as a real file carries them beside these offsets and BIDs.
    EXPECT_EQ(ComputeSignature(0x7400, 0x4DE), 0x70DE);
    EXPECT_EQ(ComputeSignature(0x9600, 0x24A), 0x944A);

    Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    Bytes permuted = all;
    EncodeBlockData(1, 4, permuted);
    EXPECT_EQ(permuted[0x00], 0x41);
    EXPECT_EQ(permuted[0xEC], 0xFF);  // a heap signature byte as it lies in the file
    std::sort(permuted.begin(), permuted.end());
    EXPECT_EQ(permuted, all) << "the permutation must be a bijection";
}

TEST_P(BuilderVariants, HeaderAndPagesCarryTheirChecksums) {
    PstBuilder pst(GetParam(), 2);
    pst.limits().pageEntries = 3;
    for (uint32_t i = 0; i < 12; ++i) pst.AddNode(0x21 + 32 * i, pst.AddBlock({uint8_t(i)}));
    pst.header().wVer = unicode() ? 23 : 15;
    const Bytes image = pst.Build();
    const size_t id = unicode() ? 8 : 4;

    EXPECT_EQ(Le(image, 0, 4), 0x4E444221u);  // "!BDN"
    EXPECT_EQ(Le(image, 8, 2), 0x4D53u);      // "SM"
    EXPECT_EQ(Le(image, 10, 2), unicode() ? 23u : 15u);
    EXPECT_EQ(Le(image, 4, 4), Crc(image, 8, 471));
    if (unicode()) {
        EXPECT_EQ(Le(image, 524, 4), Crc(image, 8, 516));
    }
    const size_t sentinel = unicode() ? 512 : 460;
    EXPECT_EQ(image[sentinel], 0x80);
    EXPECT_EQ(image[sentinel + 1], 2) << "bCryptMethod";
    const size_t root = unicode() ? 180 : 164;
    EXPECT_EQ(Le(image, root + 4, id), image.size()) << "ibFileEof";
    EXPECT_EQ(image[root + 4 + 8 * id], 2) << "fAMapValid";
    // Each root BREF names a page of its tree whose trailer repeats the BID.
    for (auto [bref, ptype] : {std::pair{root + 4 + 4 * id, 0x81}, {root + 4 + 6 * id, 0x80}}) {
        const size_t trailer = Le(image, bref + id, id) + (unicode() ? 496 : 500);
        EXPECT_EQ(image.at(trailer), ptype);
        EXPECT_EQ(Le(image, trailer + (unicode() ? 8 : 4), id), Le(image, bref, id));
    }

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
        EXPECT_EQ(Le(image, trailer + (unicode() ? 4 : 8), 4),
                  Crc(image, page.ib, trailer - page.ib));
        deepest = std::max(deepest, page.level);
    }
    EXPECT_GE(deepest, 2);
}

// The peers must see what the builder meant: folders, subjects, attachments, contacts.
TEST_P(BuilderVariants, DebianPeersReadTheMailbox) {
    if (std::system("command -v readpst >/dev/null 2>&1 && command -v pffexport >/dev/null 2>&1"))
        GTEST_SKIP() << "readpst or pffexport is not installed";
    const std::filesystem::path dir =
        std::filesystem::path(::testing::TempDir()) / (unicode() ? "peers-unicode" : "peers-ansi");
    std::filesystem::remove_all(dir);
    // Removed however the test ends: the temporary folder keeps nothing of it.
    struct RemoveOnExit {
        std::filesystem::path dir;
        ~RemoveOnExit() {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    } cleanup{dir};
    std::filesystem::create_directories(dir / "readpst");

    // The Ansi file is cyclic-encoded and has no named properties of its own.
    MailboxBuilder::Options options;
    options.cryptMethod = unicode() ? 1 : 2;
    MailboxBuilder box(GetParam(), options);
    Message m = MakeMail("Grüße, peers", "Ann Lee", "ann@example.com", "Body");
    m.subjectPrefix = "RE: ";
    m.recipients = {{"Bob", "bob@example.com"}};
    m.attachments = {{"DATA.BIN", "data.bin", Bytes(9000, 0x5A), "application/octet-stream", {}}};
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
    const auto top = dir / "pff.export" / "Top of Personal Folders";
    EXPECT_EQ(std::filesystem::file_size(top / "Inbox" / "Projects" / "Message00001" /
                                         "Attachments" / "1_data.bin"),
              9000u);
    EXPECT_EQ(std::filesystem::exists(top / "Contacts" / "Contact00001"), unicode());
}

}  // namespace
}  // namespace kestrel

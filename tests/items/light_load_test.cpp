// Items loaded for the lists: attachment data is measured instead of read, HTML and
// compressed RTF checked from their first bytes, and nothing else changes.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "items/node_item.h"
#include "items/rtf_decompress.h"
#include "listing_compare.h"
#include "storage/btree_loader.h"
#include "pstwrite/ltp_builder.h"
#include "support/mailbox_builder.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kAttachmentTable = 0x671;

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

// Whole blocks of at most one block's data each, so that a subnode becomes a data tree.
std::vector<Bytes> Blocks(const Bytes& data, size_t blockSize) {
    std::vector<Bytes> blocks;
    for (size_t at = 0; at < data.size(); at += blockSize) {
        blocks.emplace_back(data.begin() + at,
                            data.begin() + std::min(data.size(), at + blockSize));
    }
    return blocks;
}

TEST(LightLoad, RtfCheckAgreesWithExpandingIt) {
    const std::string rtf = "{\\rtf1\\ansi\\deff0 {\\fonttbl{\\f0 Arial;}} Hello there.\\par }";
    std::vector<Bytes> values = {CompressRtf(rtf, true), CompressRtf(rtf, false),
                                 CompressRtf("", true), CompressRtf("", false)};
    // Every prefix of a sound value, and values whose tokens are noise.
    const Bytes whole = CompressRtf(rtf, true);
    for (size_t cut = 0; cut < whole.size(); ++cut)
        values.emplace_back(whole.begin(), whole.begin() + cut);
    std::mt19937 random(5);
    for (int round = 0; round < 300; ++round) {
        Bytes value = whole;
        value.resize(16 + random() % 40);
        for (size_t i = 16; i < value.size(); ++i) value[i] = static_cast<uint8_t>(random());
        if (round % 3 == 0) value[4] = 0;  // a raw size of 0..255
        values.push_back(value);
    }
    for (const Bytes& value : values) {
        EXPECT_EQ(RtfDecodes(value), DecompressRtf(value).ok) << value.size();
    }
}

class LightLoadItems : public ::testing::TestWithParam<PstVariant> {};
INSTANTIATE_TEST_SUITE_P(Variants, LightLoadItems,
                         ::testing::Values(PstVariant::Ansi, PstVariant::Unicode),
                         [](const auto& info) {
                             return info.param == PstVariant::Ansi ? "Ansi" : "Unicode";
                         });

TEST_P(LightLoadItems, AttachmentsAreMeasuredAndRtfChecked) {
    PstBuilder pst(GetParam());
    LtpBuilder ltp(GetParam());
    const uint32_t messageNid = MakeNid(kNidTypeNormalMessage, 0x100);
    LtpNode message = ltp.PropertyContext(
        {Prop::Unicode(0x001A, "IPM.Note"), Prop::Unicode(0x0037, "Files"),
         Prop::Binary(0x1009, CompressRtf("{\\rtf1 Hello}")), Prop::Unicode(0x1000, "Hello")});

    // In the heap, in one block, in a data tree, behind an object reference, and lost.
    struct Spec {
        uint32_t nid;
        Bytes data;
        bool object = false;
        bool lost = false;
    };
    const std::vector<Spec> specs = {
        {MakeNid(kNidTypeAttachment, 1), Pattern(30, 1)},
        {MakeNid(kNidTypeAttachment, 2), Pattern(5000, 2)},
        {MakeNid(kNidTypeAttachment, 3), Pattern(30000, 3)},
        {MakeNid(kNidTypeAttachment, 4), Pattern(20000, 4), true},
        {MakeNid(kNidTypeAttachment, 5), Pattern(9000, 5), false, true}};
    Table table;
    table.columns = {MakeTag(0x0E20, kPtLong)};
    for (const Spec& s : specs) table.rows.push_back({s.nid, {}});
    message.subnodes.push_back({kAttachmentTable, ltp.TableContext(table)});
    const uint32_t embeddedNid = MakeNid(kNidTypeLtp, 0x700);
    for (const Spec& s : specs) {
        LtpBuilder own(GetParam());
        LtpNode node;
        if (s.object) {
            Bytes reference(8, 0);
            for (int k = 0; k < 4; ++k) {
                reference[k] = static_cast<uint8_t>(embeddedNid >> (8 * k));
                reference[4 + k] = static_cast<uint8_t>(s.data.size() >> (8 * k));
            }
            node = own.PropertyContext({Prop::Unicode(0x3707, "object.bin"),
                                        Prop::Raw(0x3701, kPtObject, reference).InHeap()});
            node.subnodes.push_back({embeddedNid, {Blocks(s.data, 8000), {}}});
        } else {
            // A value NID no other attachment uses, so that a lost one is not found in the
            // message's list instead.
            if (s.lost) own.NextLtpNid();
            Prop data = Prop::Binary(0x3701, s.data);
            if (s.data.size() > 64) data.InSubnode();
            node = own.PropertyContext(
                {Prop::Unicode(0x3707, "file" + std::to_string(s.nid) + ".bin"), data});
            if (s.lost) node.subnodes.clear();
        }
        message.subnodes.push_back({s.nid, node});
    }
    const StoredNode stored = StoreNode(pst, message);
    pst.AddNode(messageNid, stored.bidData, stored.bidSub);
    pst.AddNode(0x21,
                StoreNode(pst, ltp.PropertyContext({Prop::Unicode(0x3001, "Store")})).bidData);

    PstContext context;
    OpenPstImage(context, pst.Build());
    ASSERT_EQ(LoadIndexes(context), 0);
    const NodeRecord* node = FindNode(context, messageNid);
    ASSERT_NE(node, nullptr);
    ItemContext items(context);
    const auto full = LoadNodeItem(items, node);
    const auto light = LoadNodeItem(items, node, ListingOptions());
    ASSERT_TRUE(full && light);
    ExpectSameListing(full.get(), light.get(), "message");

    ASSERT_EQ(light->attachments.size(), specs.size());
    EXPECT_FALSE(full->message->rtfBody.empty());
    EXPECT_TRUE(light->message->hasRtfBody);
    for (const AttachmentRecord& a : light->attachments) {
        const Spec* spec = nullptr;
        for (const Spec& s : specs) {
            if (a.longName == "file" + std::to_string(s.nid) + ".bin" ||
                (s.object && a.longName == "object.bin")) {
                spec = &s;
            }
        }
        ASSERT_NE(spec, nullptr) << a.longName;
        EXPECT_EQ(a.dataSize, spec->lost ? 0u : spec->data.size()) << a.longName;
        // Not even the value kept in the heap comes with its bytes.
        EXPECT_TRUE(a.data.empty()) << a.longName;
    }
    for (const AttachmentRecord& a : full->attachments) {
        if (a.dataSize > 64) {
            EXPECT_EQ(a.data.size(), a.dataSize) << a.longName;
        }
    }

    // A listing whose items are read again in full leaves the bodies and the attachment
    // table unread, and nothing else.
    AssembleOptions unread = ListingOptions();
    unread.skipDetails = true;
    const auto bare = LoadNodeItem(items, node, unread);
    ASSERT_TRUE(bare && bare->message && bare->message->subject);
    EXPECT_TRUE(bare->message->body.empty());
    EXPECT_FALSE(bare->message->bodyLength.value_or(0));
    EXPECT_FALSE(bare->message->hasRtfBody);
    EXPECT_TRUE(bare->attachments.empty());
    EXPECT_EQ(bare->message->subject->text, light->message->subject->text);
    EXPECT_EQ(bare->className, light->className);
}

// One message of props (and a store), loaded in full and for the lists, compared.
void LoadBoth(PstVariant variant, const std::vector<Prop>& props, const std::string& where,
              std::unique_ptr<ItemRecord>& full, std::unique_ptr<ItemRecord>& light) {
    PstBuilder pst(variant);
    LtpBuilder ltp(variant);
    const StoredNode stored = StoreNode(pst, ltp.PropertyContext(props));
    const uint32_t nid = MakeNid(kNidTypeNormalMessage, 0x100);
    pst.AddNode(nid, stored.bidData, stored.bidSub);
    pst.AddNode(0x21, StoreNode(pst, ltp.PropertyContext({Prop::Unicode(0x3001, "Store")})).bidData);
    PstContext context;
    OpenPstImage(context, pst.Build());
    ASSERT_EQ(LoadIndexes(context), 0);
    ItemContext items(context);
    full = LoadNodeItem(items, FindNode(context, nid));
    light = LoadNodeItem(items, FindNode(context, nid), ListingOptions());
    ASSERT_TRUE(full && light && light->message) << where;
    ExpectSameListing(full.get(), light.get(), where);
}

// HTML and compressed RTF are read only as far as their first bytes; a UTF-16 body is
// measured as its blocks come, but a sticky note's, which is its text, is read whole.
TEST_P(LightLoadItems, BodiesArePeekedAtOrMeasuredAsTheyCome) {
    std::string longRtf = "{\\rtf1\\ansi ";
    while (longRtf.size() < 30000) longRtf += "Some text, and some more.\\par ";
    Bytes wideHtml;
    for (char c : std::string(12000, 'h')) wideHtml.insert(wideHtml.end(), {uint8_t(c), 0});
    Bytes emptyWideHtml = wideHtml;
    emptyWideHtml[0] = 0;  // text up to the first zero unit: none
    const std::vector<std::vector<Prop>> bodies = {
        {Prop::Binary(0x1013, Pattern(20000, 9)), Prop::Binary(0x1009, CompressRtf(longRtf))},
        {Prop::Raw(0x1013, kPtUnicode, wideHtml),
         Prop::Binary(0x1009, CompressRtf(longRtf, false))},
        {Prop::Raw(0x1013, kPtUnicode, emptyWideHtml)}};
    for (size_t i = 0; i < bodies.size(); ++i) {
        std::vector<Prop> props = {Prop::Unicode(0x001A, "IPM.Note")};
        for (Prop prop : bodies[i]) props.push_back(prop.InSubnode());
        std::unique_ptr<ItemRecord> full, light;
        LoadBoth(GetParam(), props, "bodies " + std::to_string(i), full, light);
        if (!light) continue;
        EXPECT_EQ(light->message->hasHtmlText, i < 2) << i;
        EXPECT_EQ(light->message->hasRtfBody, i < 2) << i;
    }

    std::string longText;
    while (longText.size() < 40000) longText += "Gr\u00fc\u00dfe \U0001F600 \u65e5\u8a9e, ";
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"IPM.Note", longText}, {"IPM.Note", "Short \U0001F600"}, {"IPM.StickyNote", longText}};
    for (size_t i = 0; i < texts.size(); ++i) {
        const auto& [className, body] = texts[i];
        Prop text = Prop::Unicode(0x1000, body);
        if (body.size() > 100) text.InSubnode();
        std::unique_ptr<ItemRecord> full, light;
        LoadBoth(GetParam(), {Prop::Unicode(0x001A, className), text}, className, full, light);
        if (!light) continue;
        EXPECT_EQ(full->message->body, body) << i;
        EXPECT_EQ(light->message->bodyLength.has_value(), i < 2) << i;
    }
}

}  // namespace
}  // namespace kestrel

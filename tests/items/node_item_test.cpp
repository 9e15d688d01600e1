// Node items over built files: the message's properties, its attachment table and each
// attachment's own properties, with the odd shapes a damaged or large file brings.
#include "items/node_item.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "item_fixtures.h"
#include "support/mailbox_builder.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

constexpr uint32_t kMessageNid = MakeNid(kNidTypeNormalMessage, 0x100);
constexpr uint32_t kAttachment1 = MakeNid(kNidTypeAttachment, 1);
constexpr uint32_t kAttachment2 = MakeNid(kNidTypeAttachment, 2);
constexpr uint32_t kAttachmentTable = 0x671;

struct AttachmentSpec {
    uint32_t nid;
    std::string longName;
    Bytes data;
};

class NodeItemTest : public ::testing::Test {
  protected:
    LtpNode MessageNode() {
        return ltp.PropertyContext(
            {Prop::Unicode(0x001A, "IPM.Note"), Prop::Unicode(0x0037, "With files")});
    }

    // An attachment table over the attachments, and each attachment's own context with
    // its data (in its own subnode when large).
    void AddAttachments(LtpNode& message, const std::vector<AttachmentSpec>& attachments,
                        bool rowsInSubnode = false) {
        Table table;
        table.columns = {MakeTag(0x3704, kPtUnicode), MakeTag(0x0E20, kPtLong)};
        table.rowsInSubnode = rowsInSubnode;
        for (const AttachmentSpec& a : attachments) {
            table.rows.push_back(
                {a.nid, {Prop::Int32(0x0E20, static_cast<uint32_t>(a.data.size()))}});
        }
        message.subnodes.push_back({kAttachmentTable, ltp.TableContext(table)});
        for (const AttachmentSpec& a : attachments) {
            // Each attachment from a builder of its own, so that their value subnodes
            // share a NID as they can in real files.
            LtpBuilder own(ltp.variant());
            Prop data = Prop::Binary(0x3701, a.data);
            if (a.data.size() > 64) data.InSubnode();
            message.subnodes.push_back(
                {a.nid, own.PropertyContext({Prop::Unicode(0x3707, a.longName), data})});
        }
    }

    void AddMessage(const LtpNode& message, uint32_t nid = kMessageNid) { file.Add(nid, message); }

    std::unique_ptr<ItemRecord> Load(uint32_t nid = kMessageNid) {
        return LoadNodeItem(file.items, FindNode(context, nid));
    }

    static const AttachmentRecord* ByName(const ItemRecord& item, const std::string& name) {
        for (const AttachmentRecord& a : item.attachments) {
            if (a.longName == name) return &a;
        }
        return nullptr;
    }

    BuiltFile file{PstVariant::Unicode};
    PstBuilder& pst = file.pst;
    LtpBuilder& ltp = file.ltp;
    PstContext& context = file.context;
};

TEST_F(NodeItemTest, AttachmentValuesComeFromTheAttachmentsOwnSubnodes) {
    // Both large values live in a subnode with the same NID, one under each attachment.
    LtpNode message = MessageNode();
    AddAttachments(message, {{kAttachment1, "first.bin", Pattern(9000, 3)},
                             {kAttachment2, "second.bin", Pattern(5000, 4)}});
    AddMessage(message);
    file.Open();

    auto item = Load();
    ASSERT_TRUE(item && item->message);
    EXPECT_EQ(item->nid, kMessageNid);
    EXPECT_EQ(item->kind, ItemKind::Mail);
    EXPECT_EQ(item->currentAttachment, 0u);
    const AttachmentRecord* first = ByName(*item, "first.bin");
    const AttachmentRecord* second = ByName(*item, "second.bin");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->rowId, kAttachment1);
    EXPECT_EQ(first->data, Pattern(9000, 3));
    EXPECT_EQ(first->dataSize, 9000u);
    EXPECT_NE(first->dataBid, 0u);
    EXPECT_EQ(second->rowId, kAttachment2);
    EXPECT_EQ(second->data, Pattern(5000, 4));
}

TEST_F(NodeItemTest, SubnodesUnderAnSiblockAndRowsInTheTablesOwnSubnode) {
    pst.limits().slEntries = 2;  // the message's five subnodes need an SIBLOCK
    LtpNode message = MessageNode();
    AddAttachments(message,
                   {{kAttachment1, "a.txt", Pattern(10, 1)},
                    {kAttachment2, "b.txt", Pattern(10, 2)},
                    {MakeNid(kNidTypeAttachment, 3), "c.txt", Pattern(10, 3)},
                    {MakeNid(kNidTypeAttachment, 4), "d.txt", Pattern(10, 4)}},
                   /*rowsInSubnode=*/true);
    AddMessage(message);
    file.Open();

    auto item = Load();
    ASSERT_TRUE(item);
    ASSERT_EQ(item->attachments.size(), 4u);
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) {
        EXPECT_TRUE(ByName(*item, name)) << name;
    }
}

TEST_F(NodeItemTest, UnreadableOrDamagedAttachments) {
    LtpNode message = MessageNode();
    AddAttachments(message, {{kAttachment1, "lost.bin", Pattern(9000, 5)},
                             {kAttachment2, "bad.txt", Pattern(10, 2)}});
    for (LtpSubnode& sub : message.subnodes) {
        if (sub.nid == kAttachment1) sub.node.subnodes.clear();  // its data cannot be read
        if (sub.nid == kAttachment2) sub.node.blocks = {Bytes(64, 0xEE)};
    }
    AddMessage(message);
    LtpNode noTable = MessageNode();
    noTable.subnodes.push_back({kAttachmentTable, {{Bytes(40, 0x55)}, {}}});
    AddMessage(noTable, kMessageNid + 0x20);
    file.Open();

    auto item = Load();
    ASSERT_TRUE(item);
    ASSERT_EQ(item->attachments.size(), 2u);
    const AttachmentRecord* lost = ByName(*item, "lost.bin");
    ASSERT_TRUE(lost);
    EXPECT_TRUE(lost->data.empty());
    EXPECT_EQ(lost->rowId & 0x1F, kNidTypeLtp);  // the NID of the missing value subnode
    EXPECT_EQ(lost->dataBid, 0u);
    EXPECT_FALSE(ByName(*item, "bad.txt"));

    auto withoutTable = Load(kMessageNid + 0x20);
    ASSERT_TRUE(withoutTable && withoutTable->message);
    EXPECT_TRUE(withoutTable->attachments.empty());
    EXPECT_FALSE(withoutTable->currentAttachment);
}

TEST_F(NodeItemTest, NoItemWithoutReadablePropertiesOrWhenStopped) {
    const StoredNode stored = StoreNode(pst, MessageNode());
    pst.AddNode(kMessageNid, stored.bidData);
    // Subnodes but no data block; a data block that is no heap; one the index lacks.
    pst.AddNode(kMessageNid + 0x20, 0, pst.AddSubnodes({{0x8001F, stored.bidData, 0}}));
    pst.AddNode(kMessageNid + 0x40, pst.AddBlock(Pattern(100, 9)));
    pst.AddNode(kMessageNid + 0x60, 0x7FFF0);
    file.Open();

    EXPECT_FALSE(Load(kMessageNid + 0x20));
    EXPECT_FALSE(Load(kMessageNid + 0x40));
    EXPECT_FALSE(Load(kMessageNid + 0x60));
    EXPECT_FALSE(LoadNodeItem(file.items, nullptr));
    std::atomic<uint32_t> stop{1};
    context.stopFlag = &stop;
    EXPECT_FALSE(Load());
    stop = 0;
    EXPECT_TRUE(Load());
}

// A whole mailbox: a message's texts in many scripts, in both variants. (The other kinds of
// item, their named properties through the file's map, are the folder walk's tests.)
class NodeItemMailbox : public LayoutTest {};

TEST_P(NodeItemMailbox, MessageTextsComeOutAsUtf8) {
    MailboxBuilder box(GetParam());
    const std::string subject = unicode() ? "Привет, Γιώργο שלום 日本 한국 😀" : "Привет, мир";
    kestrel::test::Message mail = MakeMail(subject, "Анна Ли", "anna@example.org", "Тело письма");
    mail.subjectPrefix = "RE: ";
    mail.codePage = 1251;
    mail.recipients = {{"Bob", "bob@example.org", 1}, {"Зоя", "zoya@example.org", 2}};
    mail.htmlBody = "<p>Здравствуйте</p>";
    mail.rtfCompressed = CompressRtf("{\\rtf1 hello}");
    mail.attachments = {{"PIC.JPG", "картинка.jpg", Pattern(20000, 2), "image/jpeg", {}}};
    const uint32_t nid = box.AddMessage(box.Folder("Inbox"), mail);
    PstContext context;
    ASSERT_EQ(OpenPstImage(context, box.Build()), 0);
    ASSERT_EQ(LoadIndexes(context), 0);
    ItemContext items(context);

    auto item = LoadNodeItem(items, FindNode(context, nid));
    ASSERT_TRUE(item && item->message && item->message->subject);
    const MessageRecord& m = *item->message;
    EXPECT_EQ(item->kind, ItemKind::Mail);
    EXPECT_EQ(m.subject->prefixMarker, 1u);
    EXPECT_EQ(m.subject->text, "RE: " + subject);
    EXPECT_EQ(m.senderName, "Анна Ли");
    EXPECT_EQ(m.displayCc, "Зоя");
    EXPECT_EQ(m.body, "Тело письма");
    EXPECT_EQ(std::string(m.bodyHtml.begin(), m.bodyHtml.end()), "<p>Здравствуйте</p>");
    EXPECT_EQ(m.rtfBody, "{\\rtf1 hello}");
    ASSERT_EQ(item->attachments.size(), 1u);
    EXPECT_EQ(item->attachments[0].longName, "картинка.jpg");
    EXPECT_EQ(item->attachments[0].data, Pattern(20000, 2));
}

KESTREL_BOTH_LAYOUTS(NodeItemMailbox);

}  // namespace
}  // namespace kestrel

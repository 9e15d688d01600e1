// Node items over built files: the message's properties, its attachment table and each
// attachment's own properties, with the odd shapes a damaged or large file brings.
#include "items/node_item.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "items/named_property_map.h"
#include "storage/btree_loader.h"
#include "support/ltp_builder.h"
#include "support/mailbox_builder.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kMessageNid = MakeNid(kNidTypeNormalMessage, 0x100);
constexpr uint32_t kAttachment1 = MakeNid(kNidTypeAttachment, 1);
constexpr uint32_t kAttachment2 = MakeNid(kNidTypeAttachment, 2);
constexpr uint32_t kAttachmentTable = 0x671;

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

struct AttachmentSpec {
    uint32_t nid;
    std::string longName;
    Bytes data;
};

class NodeItemTest : public ::testing::Test {
  protected:
    explicit NodeItemTest(PstVariant variant = PstVariant::Unicode) : pst(variant), ltp(variant) {}

    Prop Text(uint16_t id, const std::string& utf8) {
        return ltp.variant() == PstVariant::Unicode ? Prop::Unicode(id, utf8)
                                                    : Prop::String8(id, CodePageBytes(utf8, 1252));
    }

    LtpNode MessageNode() {
        return ltp.PropertyContext({Text(0x001A, "IPM.Note"), Text(0x0037, "With files")});
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

    void AddMessage(const LtpNode& message, uint32_t nid = kMessageNid) {
        const StoredNode stored = StoreNode(pst, message);
        pst.AddNode(nid, stored.bidData, stored.bidSub);
    }

    void Open() {
        // The message store: without it no node tree loads.
        pst.AddNode(0x21, StoreNode(pst, ltp.PropertyContext({Text(0x3001, "Store")})).bidData);
        ASSERT_EQ(OpenPstImage(context, pst.Build()), 0);
        ASSERT_EQ(LoadIndexes(context), 0);
    }

    std::unique_ptr<ItemRecord> Load(uint32_t nid = kMessageNid) {
        return LoadNodeItem(context, FindNode(context, nid));
    }

    static const AttachmentRecord* ByName(const ItemRecord& item, const std::string& name) {
        for (const AttachmentRecord& a : item.attachments) {
            if (a.longName == name) return &a;
        }
        return nullptr;
    }

    PstBuilder pst;
    LtpBuilder ltp;
    PstContext context;
};

TEST_F(NodeItemTest, MessageWithAttachmentTableAndAttachmentContexts) {
    LtpNode message = MessageNode();
    AddAttachments(message, {{kAttachment1, "notes.txt", Pattern(20, 1)},
                             {kAttachment2, "фото.jpg", Pattern(20, 2)}});
    AddMessage(message);
    Open();

    auto item = Load();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->nid, kMessageNid);
    EXPECT_EQ(item->kind, ItemKind::Mail);
    ASSERT_TRUE(item->message && item->message->subject);
    EXPECT_EQ(item->message->subject->text, "With files");
    ASSERT_EQ(item->attachments.size(), 2u);
    EXPECT_EQ(item->currentAttachment, 0u);

    const AttachmentRecord* notes = ByName(*item, "notes.txt");
    const AttachmentRecord* photo = ByName(*item, "фото.jpg");
    ASSERT_TRUE(notes && photo);
    EXPECT_EQ(notes->rowId, kAttachment1);
    EXPECT_EQ(notes->data, Pattern(20, 1));
    EXPECT_EQ(notes->dataSize, 20u);
    EXPECT_NE(notes->dataBid, 0u);
    EXPECT_EQ(photo->rowId, kAttachment2);
    EXPECT_EQ(photo->data, Pattern(20, 2));
    // The message keeps its own properties.
    EXPECT_EQ(item->message->subject->text, "With files");
}

TEST_F(NodeItemTest, AttachmentValuesComeFromTheAttachmentsOwnSubnodes) {
    // Both large values live in a subnode with the same NID, one under each attachment.
    LtpNode message = MessageNode();
    AddAttachments(message, {{kAttachment1, "first.bin", Pattern(9000, 3)},
                             {kAttachment2, "second.bin", Pattern(5000, 4)}});
    AddMessage(message);
    Open();

    auto item = Load();
    ASSERT_TRUE(item);
    const AttachmentRecord* first = ByName(*item, "first.bin");
    const AttachmentRecord* second = ByName(*item, "second.bin");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->data, Pattern(9000, 3));
    EXPECT_EQ(second->data, Pattern(5000, 4));
}

TEST_F(NodeItemTest, SubnodesUnderAnIntermediateBlockAreFollowed) {
    pst.limits().slEntries = 2;  // the message's five subnodes need an SIBLOCK
    LtpNode message = MessageNode();
    AddAttachments(message, {{kAttachment1, "a.txt", Pattern(10, 1)},
                             {kAttachment2, "b.txt", Pattern(10, 2)},
                             {MakeNid(kNidTypeAttachment, 3), "c.txt", Pattern(10, 3)},
                             {MakeNid(kNidTypeAttachment, 4), "d.txt", Pattern(10, 4)}});
    AddMessage(message);
    Open();

    auto item = Load();
    ASSERT_TRUE(item);
    ASSERT_EQ(item->attachments.size(), 4u);
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) {
        EXPECT_TRUE(ByName(*item, name)) << name;
    }
}

TEST_F(NodeItemTest, RowMatrixInTheTablesOwnSubnode) {
    LtpNode message = MessageNode();
    AddAttachments(
        message, {{kAttachment1, "a.txt", Pattern(10, 1)}, {kAttachment2, "b.txt", Pattern(10, 2)}},
        /*rowsInSubnode=*/true);
    AddMessage(message);
    Open();

    auto item = Load();
    ASSERT_TRUE(item);
    ASSERT_EQ(item->attachments.size(), 2u);
    EXPECT_TRUE(ByName(*item, "a.txt"));
    EXPECT_TRUE(ByName(*item, "b.txt"));
}

TEST_F(NodeItemTest, UnreadAttachmentDataLeavesItsSubnodeNid) {
    LtpNode message = MessageNode();
    AddAttachments(message, {{kAttachment1, "lost.bin", Pattern(9000, 5)}});
    // Drop the attachment's value subnode: its data cannot be read.
    for (LtpSubnode& sub : message.subnodes) {
        if (sub.nid == kAttachment1) {
            ASSERT_FALSE(sub.node.subnodes.empty());
            sub.node.subnodes.clear();
        }
    }
    AddMessage(message);
    Open();

    auto item = Load();
    ASSERT_TRUE(item);
    ASSERT_EQ(item->attachments.size(), 1u);
    const AttachmentRecord& lost = item->attachments[0];
    EXPECT_EQ(lost.longName, "lost.bin");
    EXPECT_TRUE(lost.data.empty());
    EXPECT_NE(lost.rowId, kAttachment1);  // now the NID of the missing value subnode
    EXPECT_EQ(lost.rowId & 0x1F, kNidTypeLtp);
    EXPECT_EQ(lost.dataBid, 0u);
}

TEST_F(NodeItemTest, DamagedTableOrAttachmentIsSkipped) {
    LtpNode message = MessageNode();
    AddAttachments(message, {{kAttachment1, "good.txt", Pattern(10, 1)},
                             {kAttachment2, "bad.txt", Pattern(10, 2)}});
    for (LtpSubnode& sub : message.subnodes) {
        if (sub.nid == kAttachment2) sub.node.blocks = {Bytes(64, 0xEE)};
    }
    AddMessage(message);

    LtpNode noTable = MessageNode();
    noTable.subnodes.push_back({kAttachmentTable, {{Bytes(40, 0x55)}, {}}});
    AddMessage(noTable, kMessageNid + 0x20);
    Open();

    auto item = Load();
    ASSERT_TRUE(item);
    ASSERT_EQ(item->attachments.size(), 2u);
    EXPECT_TRUE(ByName(*item, "good.txt"));
    EXPECT_FALSE(ByName(*item, "bad.txt"));

    auto withoutTable = Load(kMessageNid + 0x20);
    ASSERT_TRUE(withoutTable);
    EXPECT_TRUE(withoutTable->attachments.empty());
    EXPECT_FALSE(withoutTable->currentAttachment);
    ASSERT_TRUE(withoutTable->message);
}

TEST_F(NodeItemTest, NoItemWithoutReadableProperties) {
    // Subnodes but no data block.
    const StoredNode stored = StoreNode(pst, MessageNode());
    const uint64_t subnodes = pst.AddSubnodes({{0x8001F, stored.bidData, 0}});
    pst.AddNode(kMessageNid, 0, subnodes);
    // A data block that is no heap.
    pst.AddNode(kMessageNid + 0x20, pst.AddBlock(Pattern(100, 9)), 0);
    // A data block the index does not know.
    pst.AddNode(kMessageNid + 0x40, 0x7FFF0, 0);
    Open();

    EXPECT_FALSE(Load(kMessageNid));
    EXPECT_FALSE(Load(kMessageNid + 0x20));
    EXPECT_FALSE(Load(kMessageNid + 0x40));
    EXPECT_FALSE(LoadNodeItem(context, nullptr));
}

TEST_F(NodeItemTest, StopFlagAbandonsTheItem) {
    AddMessage(MessageNode());
    Open();
    std::atomic<uint32_t> stop{1};
    context.stopFlag = &stop;
    EXPECT_FALSE(Load());
    stop = 0;
    EXPECT_TRUE(Load());
}

class AnsiNodeItemTest : public NodeItemTest {
  protected:
    AnsiNodeItemTest() : NodeItemTest(PstVariant::Ansi) {}
};

TEST_F(AnsiNodeItemTest, StringsOfTheMessageCodePageArriveAsUtf8) {
    AddMessage(ltp.PropertyContext({Prop::String8(0x001A, CodePageBytes("IPM.Note", 1251)),
                                    Prop::String8(0x0037, CodePageBytes("Отчёт за май", 1251)),
                                    Prop::String8(0x0042, CodePageBytes("Иван", 1251)),
                                    Prop::Int32(0x3FFD, 1251)}));
    AddMessage(ltp.PropertyContext({Prop::String8(0x0037, CodePageBytes("Ελλάδα", 1253)),
                                    Prop::Int32(0x3FFD, 1253)}),
               kMessageNid + 0x20);
    Open();

    auto russian = Load();
    ASSERT_TRUE(russian && russian->message && russian->message->subject);
    EXPECT_EQ(russian->message->subject->text, "Отчёт за май");
    EXPECT_EQ(russian->message->senderName, "Иван");
    auto greek = Load(kMessageNid + 0x20);
    ASSERT_TRUE(greek && greek->message && greek->message->subject);
    EXPECT_EQ(greek->message->subject->text, "Ελλάδα");
}

// Whole mailboxes: every kind of item, with named properties through the file's map.
class NodeItemMailbox : public ::testing::TestWithParam<PstVariant> {
  protected:
    bool Unicode() const { return GetParam() == PstVariant::Unicode; }

    void Open(MailboxBuilder& box) {
        ASSERT_EQ(OpenPstImage(context, box.Build()), 0);
        ASSERT_EQ(LoadIndexes(context), 0);
        ASSERT_EQ(LoadNamedPropertyMap(context), 1);
    }

    std::unique_ptr<ItemRecord> Load(uint32_t nid) {
        return LoadNodeItem(context, FindNode(context, nid));
    }

    PstContext context;
};

TEST_P(NodeItemMailbox, EveryKindOfItem) {
    MailboxBuilder box(GetParam());
    const std::string subject = Unicode() ? "Привет, Γιώργο 日本 😀" : "Привет, мир";
    kestrel::test::Message mail = MakeMail(subject, "Анна Ли", "anna@example.org", "Тело письма");
    mail.subjectPrefix = "RE: ";
    mail.codePage = 1251;
    mail.recipients = {{"Bob", "bob@example.org", 1}, {"Зоя", "zoya@example.org", 2}};
    mail.htmlBody = "<p>Здравствуйте</p>";
    mail.rtfCompressed = CompressRtf("{\\rtf1 hello}");
    mail.attachments = {{"NOTES.TXT", "notes.txt", Pattern(300, 1), "text/plain", {}},
                        {"PIC.JPG", "картинка.jpg", Pattern(20000, 2), "image/jpeg", {}}};
    const uint32_t mailNid = box.AddMessage(box.Folder("Inbox"), mail);
    const uint32_t contactNid =
        box.AddMessage(box.Folder("Contacts"), MakeContact({.displayName = "Zoë Adams",
                                                            .givenName = "Zoë",
                                                            .surname = "Adams",
                                                            .email = "zoe@example.org",
                                                            .mobile = "+1 555 0100",
                                                            .postalAddress = "1 Main St"}));
    const uint32_t meetingNid =
        box.AddMessage(box.Folder("Calendar"),
                       MakeAppointment({.subject = "Review", .location = "Salle Émeraude"}));
    const uint32_t journalNid = box.AddMessage(
        box.Folder("Journal"), MakeJournal({.subject = "Call", .type = "Phone call"}));
    const uint32_t noteNid = box.AddMessage(box.Folder("Notes"), MakeStickyNote("Buy milk"));
    const uint32_t taskNid =
        box.AddMessage(box.Folder("Tasks"), MakeTask({.subject = "File taxes"}));
    Open(box);

    auto store = Load(kNidMessageStore);
    ASSERT_TRUE(store && store->store);
    ASSERT_GE(store->store->ipmSubtreeEntryId.size(), 24u);
    EXPECT_EQ(store->store->ipmSubtreeEntryId[20] | (store->store->ipmSubtreeEntryId[21] << 8),
              box.TopOfPersonalFolders());

    auto inbox = Load(box.Folder("Inbox"));
    ASSERT_TRUE(inbox && inbox->folder);
    EXPECT_EQ(inbox->displayName, "Inbox");
    EXPECT_EQ(inbox->kind, ItemKind::Mail);
    EXPECT_EQ(inbox->folder->contentCount, 1u);
    auto contacts = Load(box.Folder("Contacts"));
    ASSERT_TRUE(contacts && contacts->folder);
    EXPECT_EQ(contacts->kind, ItemKind::Contact);

    auto item = Load(mailNid);
    ASSERT_TRUE(item && item->message && item->message->subject);
    const MessageRecord& m = *item->message;
    EXPECT_EQ(item->kind, ItemKind::Mail);
    EXPECT_EQ(m.subject->prefixMarker, 1u);
    EXPECT_EQ(m.subject->prefixLength, 4u);
    EXPECT_EQ(m.subject->text, "RE: " + subject);
    EXPECT_EQ(m.senderName, "Анна Ли");
    EXPECT_EQ(m.senderAddress, "anna@example.org");
    EXPECT_EQ(m.displayTo, "Bob");
    EXPECT_EQ(m.displayCc, "Зоя");
    EXPECT_EQ(m.body, "Тело письма");
    EXPECT_EQ(std::string(m.bodyHtml.begin(), m.bodyHtml.end()), "<p>Здравствуйте</p>");
    EXPECT_TRUE(m.hasRtfBody);
    EXPECT_EQ(m.rtfBody, "{\\rtf1 hello}");
    ASSERT_EQ(item->attachments.size(), 2u);
    for (const AttachmentRecord& a : item->attachments) {
        if (a.shortName == "NOTES.TXT") {
            EXPECT_EQ(a.longName, "notes.txt");
            EXPECT_EQ(a.data, Pattern(300, 1));
        } else {
            EXPECT_EQ(a.longName, "картинка.jpg");
            EXPECT_EQ(a.data, Pattern(20000, 2));
        }
    }

    auto contact = Load(contactNid);
    ASSERT_TRUE(contact && contact->contact);
    EXPECT_EQ(contact->kind, ItemKind::Contact);
    EXPECT_EQ(contact->contact->givenName, "Zoë");
    EXPECT_EQ(contact->contact->surname, "Adams");
    EXPECT_EQ(contact->contact->emailAddress, "zoe@example.org");
    EXPECT_EQ(contact->contact->mobilePhone, "+1 555 0100");
    EXPECT_EQ(contact->contact->postalAddress, "1 Main St");

    auto meeting = Load(meetingNid);
    ASSERT_TRUE(meeting && meeting->calendar);
    EXPECT_EQ(meeting->kind, ItemKind::Calendar);
    EXPECT_EQ(meeting->calendar->location, "Salle Émeraude");

    auto journal = Load(journalNid);
    ASSERT_TRUE(journal && journal->journal);
    EXPECT_EQ(journal->kind, ItemKind::Journal);
    EXPECT_EQ(journal->journal->entryType, "Phone call");

    auto note = Load(noteNid);
    ASSERT_TRUE(note && note->message);
    EXPECT_EQ(note->className, "IPM.StickyNote");
    EXPECT_EQ(note->kind, ItemKind::Other);
    EXPECT_EQ(note->message->body, "Buy milk");

    auto task = Load(taskNid);
    ASSERT_TRUE(task && task->message && task->message->subject);
    EXPECT_EQ(task->className, "IPM.Task");
    EXPECT_EQ(task->kind, ItemKind::Other);
    EXPECT_EQ(task->message->subject->text, "File taxes");
}

INSTANTIATE_TEST_SUITE_P(Variants, NodeItemMailbox,
                         ::testing::Values(PstVariant::Unicode, PstVariant::Ansi),
                         [](const auto& info) {
                             return info.param == PstVariant::Unicode ? "Unicode" : "Ansi";
                         });

}  // namespace
}  // namespace kestrel

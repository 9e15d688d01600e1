// The folder walk over small mailboxes: paths, filing, counters and the folders that real
// files hold without their folder counters.
#include <gtest/gtest.h>

#include "engine/folder_walk.h"
#include "engine_fixture.h"

namespace kestrel {
namespace {

using test::Analysed;
using test::MailboxBuilder;
using test::MakeMail;
using test::MakeNid;
using test::Prop;

MailboxBuilder::Options Bare() {
    MailboxBuilder::Options options;
    options.standardFolders = false;
    return options;
}

// A folder as some real files hold it: a display name and nothing else, no container
// class, no content or unread count.
uint32_t AddNameOnlyFolder(MailboxBuilder& box, uint32_t parent, uint32_t index,
                           const std::string& name) {
    const uint32_t nid = MakeNid(test::kNidTypeNormalFolder, index);
    const test::StoredNode node =
        test::StoreNode(box.pst(), box.ltp().PropertyContext({Prop::Unicode(0x3001, name)}));
    box.pst().AddNode(nid, node.bidData, node.bidSub, parent);
    return nid;
}

test::Message Task(const std::string& subject) {
    test::TaskInfo task;
    task.subject = subject;
    return test::MakeTask(task);
}

uint32_t AddPlainMessage(MailboxBuilder& box, uint32_t parent, uint32_t index,
                         const std::string& subject) {
    const uint32_t nid = MakeNid(test::kNidTypeNormalMessage, index);
    const test::StoredNode node =
        test::StoreNode(box.pst(), box.ltp().PropertyContext({Prop::Unicode(0x001A, "IPM.Note"),
                                                              Prop::Unicode(0x0037, subject)}));
    box.pst().AddNode(nid, node.bidData, node.bidSub, parent);
    return nid;
}

TEST(FolderWalk, TopFolderWithoutChildrenCompletesWithTheRootEntryOnly) {
    MailboxBuilder box(PstVariant::Unicode, Bare());
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed) << run.result.error;
    EXPECT_EQ(run.Paths(), std::vector<std::string>{"Personal Folders\\"});
    EXPECT_EQ(run.result.nodesVisited, 0u);
    EXPECT_TRUE(run.events.Saw("range 0 -3"));
    EXPECT_TRUE(run.events.Saw("page completed.html"));
}

TEST(FolderWalk, SameNamedSiblingsKeepTheirOwnMessages) {
    MailboxBuilder box(PstVariant::Unicode, Bare());
    const uint32_t first = box.AddFolder(box.TopOfPersonalFolders(), "Projects");
    const uint32_t second = box.AddFolder(box.TopOfPersonalFolders(), "Projects");
    box.AddMessage(first, MakeMail("alpha", "Ann", "ann@example.com", "a"));
    box.AddMessage(second, MakeMail("beta", "Bob", "bob@example.com", "b"));
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);

    const auto& folders = run.result.folders;
    ASSERT_EQ(folders.size(), 3u);
    EXPECT_EQ(folders.entries()[1].path, "Personal Folders\\Projects\\");
    EXPECT_EQ(folders.entries()[2].path, "Personal Folders\\Projects\\");
    ASSERT_NE(folders.FindByNid(first), nullptr);
    ASSERT_NE(folders.FindByNid(second), nullptr);
    ASSERT_EQ(folders.FindByNid(first)->messages.size(), 1u);
    ASSERT_EQ(folders.FindByNid(second)->messages.size(), 1u);
    EXPECT_EQ(folders.FindByNid(first)->messages[0].subject, "alpha");
    EXPECT_EQ(folders.FindByNid(second)->messages[0].subject, "beta");
    EXPECT_EQ(folders.FindByNid(second)->messages[0].folderNid, second);
}

TEST(FolderWalk, MailInANonMailFolderIsFiledInTheLastMailFolder) {
    MailboxBuilder box(PstVariant::Unicode);  // ... Sent Items, Calendar, Contacts, ...
    box.AddMessage(box.Folder("Contacts"), MakeMail("stray", "Ann", "ann@example.com", "x"));
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    EXPECT_EQ(run.Subjects("Personal Folders\\Sent Items\\"), std::vector<std::string>{"stray"});
    EXPECT_EQ(run.result.counters.sentItems, 1u);
    const MailFolderEntry* contacts = run.Folder("Personal Folders\\Contacts\\");
    ASSERT_NE(contacts, nullptr);
    EXPECT_FALSE(contacts->mail);
    EXPECT_EQ(contacts->containerClass, "IPF.Contact");
}

TEST(FolderWalk, FolderWithoutNameAddsAnEmptyComponent) {
    MailboxBuilder box(PstVariant::Unicode, Bare());
    const uint32_t unnamed = box.AddFolder(box.TopOfPersonalFolders(), "");
    const uint32_t sub = box.AddFolder(unnamed, "Sub");
    box.AddMessage(sub, MakeMail("deep", "Ann", "ann@example.com", "x"));
    box.AddFolder(box.TopOfPersonalFolders(), "After");
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    EXPECT_EQ(run.Paths(),
              (std::vector<std::string>{"Personal Folders\\", "Personal Folders\\\\",
                                        "Personal Folders\\\\Sub\\", "Personal Folders\\After\\"}));
    EXPECT_EQ(run.Subjects("Personal Folders\\\\Sub\\"), std::vector<std::string>{"deep"});
}

TEST(FolderWalk, FolderCountersCountByPathPrefix) {
    MailboxBuilder box(PstVariant::Unicode);
    const uint32_t top = box.TopOfPersonalFolders();
    const uint32_t inbox = box.Folder("Inbox");
    box.AddMessage(inbox, MakeMail("i1", "A", "a@example.com", "x"));
    box.AddMessage(inbox, MakeMail("i2", "A", "a@example.com", "x"));
    box.AddMessage(box.AddFolder(inbox, "Sub"), MakeMail("i3", "A", "a@example.com", "x"));
    // A top-level folder whose name merely begins with "Inbox" counts too ...
    box.AddMessage(box.AddFolder(top, "Inbox Archive"), MakeMail("i4", "A", "a@e.com", "x"));
    // ... an Inbox inside another folder does not.
    const uint32_t other = box.AddFolder(top, "Other");
    box.AddMessage(box.AddFolder(other, "Inbox"), MakeMail("o1", "A", "a@example.com", "x"));
    box.AddMessage(box.Folder("Deleted Items"), MakeMail("d1", "A", "a@example.com", "x"));
    box.AddMessage(box.AddFolder(top, "Junk E-mail"), MakeMail("j1", "A", "a@e.com", "x"));
    box.AddMessage(box.Folder("Drafts"), MakeMail("r1", "A", "a@example.com", "x"));
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);

    const SummaryCounters& c = run.result.counters;
    EXPECT_EQ(c.inbox, 4u);
    EXPECT_EQ(c.deletedItems, 1u);
    EXPECT_EQ(c.junkEmails, 1u);
    EXPECT_EQ(c.drafts, 1u);
    EXPECT_EQ(c.outbox, 0u);
    EXPECT_EQ(run.Subjects("Personal Folders\\Other\\Inbox\\"), std::vector<std::string>{"o1"});
    // The screen's labels, blanks included.
    EXPECT_EQ(run.events.Counter("Inbox"), 4);
    EXPECT_EQ(run.events.Counter("Deleted Items "), 1);
    EXPECT_EQ(run.events.Counter("Junk E-mails"), 1);
    // "Total  Mail" shows the node counter when the last mail folder was registered.
    EXPECT_EQ(run.events.Counter("Total  Mail"), static_cast<int64_t>(c.totalMail));
    EXPECT_GT(c.totalMail, 0u);
}

TEST(FolderWalk, ItemKindsGoToTheirOwnLists) {
    MailboxBuilder box(PstVariant::Unicode);
    test::ContactInfo contact;
    contact.displayName = "Bob Lee";
    contact.givenName = "Bob";
    contact.surname = "Lee";
    contact.email = "bob@example.com";
    contact.mobile = "555";
    box.AddMessage(box.Folder("Contacts"), test::MakeContact(contact));
    test::AppointmentInfo meeting;
    meeting.subject = "Meeting";
    meeting.location = "Room 1";
    meeting.start = test::FileTime(2007, 1, 1, 12);
    meeting.end = test::FileTime(2007, 1, 1, 13);
    box.AddMessage(box.Folder("Calendar"), test::MakeAppointment(meeting));
    test::JournalInfo call;
    call.subject = "Call Ann";
    call.type = "Phone call";
    call.start = test::FileTime(2008, 2, 3);
    box.AddMessage(box.Folder("Journal"), test::MakeJournal(call));
    box.AddMessage(box.Folder("Notes"), test::MakeStickyNote("Buy milk\nand bread"));
    box.AddMessage(box.Folder("Tasks"), Task("Write report"));
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    const AnalysisResult& r = run.result;

    ASSERT_EQ(r.contacts.size(), 1u);
    EXPECT_EQ(r.contacts[0].contact.mobilePhone, "555");
    EXPECT_EQ(r.contacts[0].folderPath, "Personal Folders\\Contacts\\");
    ASSERT_EQ(r.calendar.size(), 1u);
    EXPECT_EQ(r.calendar[0].location, "Room 1");
    EXPECT_EQ(r.calendar[0].subject, "Meeting");
    ASSERT_EQ(r.journal.size(), 1u);
    EXPECT_EQ(r.journal[0].entryType, "Phone call");
    EXPECT_EQ(r.journal[0].subject, "Call Ann");
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_EQ(r.notes[0].subject, "Buy milk");
    // The note's text is its body, not the binary entry id.
    EXPECT_EQ(r.notes[0].extraText, "Buy milk\nand bread");
    ASSERT_EQ(r.tasks.size(), 1u);
    EXPECT_EQ(r.tasks[0].subject, "Write report");
    EXPECT_EQ(r.tasks[0].folderPath, "Personal Folders\\Tasks\\");
    EXPECT_EQ(r.folders.MessageCount(), 0u);

    // Every counter of the panel is shown, the journal's beside "Journal".
    EXPECT_EQ(run.events.Counter("Contacts"), 1);
    EXPECT_EQ(run.events.Counter("Calendar"), 1);
    EXPECT_EQ(run.events.Counter("Journal"), 1);
    EXPECT_EQ(run.events.Counter("Notes"), 1);
    EXPECT_EQ(run.events.Counter("Tasks"), 1);
    EXPECT_EQ(run.events.Counter("Junk E-mails"), -1);
}

TEST(FolderWalk, TaskThatAlsoCarriesAContactGoesToTasksOnly) {
    MailboxBuilder box(PstVariant::Unicode);
    test::Message task = Task("Call Bob");
    task.texts[0x3003] = "bob@example.com";  // gives the item a contact record
    box.AddMessage(box.Folder("Tasks"), task);
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    EXPECT_EQ(run.result.tasks.size(), 1u);
    EXPECT_TRUE(run.result.contacts.empty());
    EXPECT_EQ(run.result.counters.contacts, 0u);
}

TEST(FolderWalk, NameOnlyFolderNodesAreWalkedWithTheirSubtrees) {
    MailboxBuilder box(PstVariant::Unicode, Bare());
    const uint32_t archive = AddNameOnlyFolder(box, box.TopOfPersonalFolders(), 0x700, "Archive");
    const uint32_t year = AddNameOnlyFolder(box, archive, 0x701, "2019");
    AddPlainMessage(box, archive, 0x20000, "in archive");
    AddPlainMessage(box, year, 0x20001, "in 2019");
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);

    const MailFolderEntry* a = run.result.folders.FindByNid(archive);
    const MailFolderEntry* y = run.result.folders.FindByNid(year);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(a->path, "Personal Folders\\Archive\\");
    EXPECT_EQ(y->path, "Personal Folders\\Archive\\2019\\");
    EXPECT_TRUE(a->mail);  // nothing but a folder record: a mail folder
    EXPECT_EQ(run.Subjects("Personal Folders\\Archive\\"), std::vector<std::string>{"in archive"});
    EXPECT_EQ(run.Subjects("Personal Folders\\Archive\\2019\\"),
              std::vector<std::string>{"in 2019"});
}

TEST(FolderWalk, MailFolderByContainerClass) {
    MailboxBuilder box(PstVariant::Unicode, Bare());
    const uint32_t top = box.TopOfPersonalFolders();
    const uint32_t custom = box.AddFolder(top, "Custom", "IPF.Note.Custom");
    const uint32_t lower = box.AddFolder(top, "Lower", "ipf.note");
    box.AddMessage(lower, MakeMail("lower", "A", "a@example.com", "x"));
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    EXPECT_TRUE(run.result.folders.FindByNid(custom)->mail);
    EXPECT_FALSE(run.result.folders.FindByNid(lower)->mail);
    // The lower-case folder takes no mail: its message goes to the last mail folder.
    EXPECT_EQ(run.Subjects("Personal Folders\\Custom\\"), std::vector<std::string>{"lower"});
    EXPECT_TRUE(run.events.Saw("folder Personal Folders\\Lower\\ [ipf.note]"));
}

TEST(FolderWalk, ProgressRangeIsThreeLessThanTheRecordsBelowTheTop) {
    MailboxBuilder box(PstVariant::Unicode, Bare());
    const uint32_t a = box.AddFolder(box.TopOfPersonalFolders(), "A");
    box.AddMessage(a, MakeMail("m1", "A", "a@example.com", "x"));
    box.AddMessage(a, MakeMail("m2", "A", "a@example.com", "x"));
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    const int64_t visited = static_cast<int64_t>(run.result.nodesVisited);
    EXPECT_GE(visited, 3);
    EXPECT_TRUE(run.events.Saw("range 0 " + std::to_string(visited - 3)));
}

TEST(FolderWalk, FindTopFolderReadsTheNidOfTheEntryId) {
    PstContext context;
    ItemRecord store;
    EXPECT_EQ(FindTopFolder(context, store), nullptr);  // no store record
    store.store = std::make_unique<StoreRecord>();
    NodeRecord* fallback = context.nodes.Create(0x2142);
    context.nodes.AppendTop(fallback);
    NodeRecord* named = context.nodes.Create(0x8022);
    context.nodes.AppendTop(named);
    EXPECT_EQ(FindTopFolder(context, store), fallback);
    store.store->ipmSubtreeEntryId.assign(24, 0);
    store.store->ipmSubtreeEntryId[20] = 0x22;
    store.store->ipmSubtreeEntryId[21] = 0x80;
    EXPECT_EQ(FindTopFolder(context, store), named);
    // Too short to hold the NID: treated as absent.
    store.store->ipmSubtreeEntryId.resize(22);
    EXPECT_EQ(FindTopFolder(context, store), fallback);
}

}  // namespace
}  // namespace kestrel

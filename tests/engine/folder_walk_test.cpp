// The folder walk over small mailboxes: paths, filing, counters and the folders that real
// files hold without their folder counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "engine/folder_walk.h"
#include "engine_fixture.h"
#include "support/layouts.h"

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

// Two folders of one name, a folder without a name, and folders as some real files hold
// them: a display name and nothing else (no container class, no counts), with a subtree.
TEST(FolderWalk, OddFoldersGetTheirPathsAndKeepTheirOwnMessages) {
    MailboxBuilder box(PstVariant::Unicode, Bare());
    const uint32_t top = box.TopOfPersonalFolders();
    const uint32_t first = box.AddFolder(top, "Projects");
    const uint32_t second = box.AddFolder(top, "Projects");
    box.AddMessage(first, MakeMail("alpha", "Ann", "ann@example.com", "a"));
    box.AddMessage(second, MakeMail("beta", "Bob", "bob@example.com", "b"));
    const uint32_t sub = box.AddFolder(box.AddFolder(top, ""), "Sub");
    box.AddMessage(sub, MakeMail("deep", "Ann", "ann@example.com", "x"));
    const uint32_t archive = MakeNid(test::kNidTypeNormalFolder, 0x700);
    const uint32_t year = MakeNid(test::kNidTypeNormalFolder, 0x701);
    test::AddRawNode(box, archive, top, {Prop::Unicode(0x3001, "Archive")});
    test::AddRawNode(box, year, archive, {Prop::Unicode(0x3001, "2019")});
    test::AddRawNode(box, MakeNid(test::kNidTypeNormalMessage, 0x20000), archive,
                     test::MailProps("in archive"));
    test::AddRawNode(box, MakeNid(test::kNidTypeNormalMessage, 0x20001), year,
                     test::MailProps("in 2019"));
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);

    EXPECT_EQ(run.Paths(),
              (std::vector<std::string>{"Personal Folders\\", "Personal Folders\\Projects\\",
                                        "Personal Folders\\Projects\\", "Personal Folders\\\\",
                                        "Personal Folders\\\\Sub\\", "Personal Folders\\Archive\\",
                                        "Personal Folders\\Archive\\2019\\"}));
    const std::pair<uint32_t, std::string> filed[] = {{first, "alpha"},
                                                      {second, "beta"},
                                                      {sub, "deep"},
                                                      {archive, "in archive"},
                                                      {year, "in 2019"}};
    for (const auto& [nid, subject] : filed) {
        SCOPED_TRACE(subject);
        const MailFolderEntry* folder = run.result.folders.FindByNid(nid);
        ASSERT_NE(folder, nullptr);
        EXPECT_TRUE(folder->mail);  // a name-only folder too: nothing but a folder record
        ASSERT_EQ(folder->messages.size(), 1u);
        EXPECT_EQ(folder->messages[0].subject(), subject);
        EXPECT_EQ(folder->messages[0].folderNid, nid);
    }
    // The progress range is three less than the records below the top.
    const int64_t visited = static_cast<int64_t>(run.result.nodesVisited);
    EXPECT_GE(visited, 3);
    EXPECT_TRUE(run.events.Saw("range 0 " + std::to_string(visited - 3)));
}

// Mail met in a folder that takes none goes to the last mail folder the walk met: from
// Contacts to Sent Items before it, and from "ipf.note", which is not "IPF.Note", to a
// folder of a class that begins with it.
TEST(FolderWalk, MailOutsideMailFoldersGoesToTheLastMailFolder) {
    MailboxBuilder box(PstVariant::Unicode);  // ... Sent Items, Calendar, Contacts, ...
    box.AddMessage(box.Folder("Contacts"), MakeMail("stray", "Ann", "ann@example.com", "x"));
    const uint32_t custom = box.AddFolder(box.TopOfPersonalFolders(), "Custom", "IPF.Note.Custom");
    const uint32_t lower = box.AddFolder(box.TopOfPersonalFolders(), "Lower", "ipf.note");
    box.AddMessage(lower, MakeMail("lower", "A", "a@example.com", "x"));
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    EXPECT_EQ(run.Subjects("Personal Folders\\Sent Items\\"), std::vector<std::string>{"stray"});
    EXPECT_EQ(run.result.counters.sentItems, 1u);
    EXPECT_EQ(run.Subjects("Personal Folders\\Custom\\"), std::vector<std::string>{"lower"});
    EXPECT_TRUE(run.result.folders.FindByNid(custom)->mail);
    EXPECT_FALSE(run.result.folders.FindByNid(lower)->mail);
    EXPECT_TRUE(run.events.Saw("folder Personal Folders\\Lower\\ [ipf.note]"));
    const MailFolderEntry* contacts = run.Folder("Personal Folders\\Contacts\\");
    ASSERT_NE(contacts, nullptr);
    EXPECT_FALSE(contacts->mail);
    EXPECT_EQ(contacts->containerClass, "IPF.Contact");
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

// Each kind in its list, in both variants: contacts, appointments and journal entries are
// told by named properties, read through the file's map.
class ItemKinds : public test::LayoutTest {};
KESTREL_BOTH_LAYOUTS(ItemKinds);

TEST_P(ItemKinds, GoToTheirOwnLists) {
    MailboxBuilder box(GetParam());
    box.AddMessage(box.Folder("Contacts"), test::MakeContact({.displayName = "Bob Lee",
                                                              .givenName = "Bob",
                                                              .surname = "Lee",
                                                              .email = "bob@example.com",
                                                              .mobile = "555"}));
    box.AddMessage(box.Folder("Calendar"),
                   test::MakeAppointment({.subject = "Meeting",
                                          .location = "Room 1",
                                          .start = test::FileTime(2007, 1, 1, 12),
                                          .end = test::FileTime(2007, 1, 1, 13)}));
    box.AddMessage(box.Folder("Journal"),
                   test::MakeJournal({.subject = "Call Ann", .start = test::FileTime(2008, 2, 3)}));
    box.AddMessage(box.Folder("Notes"), test::MakeStickyNote("Buy milk\nand bread"));
    test::Message task = test::MakeTask({.subject = "Write report"});
    task.texts[0x3003] = "bob@example.com";  // a contact record too: still a task only
    box.AddMessage(box.Folder("Tasks"), task);
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    const AnalysisResult& r = run.result;

    ASSERT_EQ(r.contacts.size(), 1u);
    EXPECT_EQ(r.counters.contacts, 1u);
    EXPECT_EQ(r.contacts[0].contact.mobilePhone, "555");
    EXPECT_EQ(r.contacts[0].contact.emailAddress, "bob@example.com");
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

// Folder-associated items (views, rules, settings) are counted as hidden, not listed as
// mail; a contact or a distribution list met in a mail folder is listed with the contacts.
TEST(FolderWalk, HiddenItemsAreCountedAndContactsInMailFoldersAreContacts) {
    MailboxBuilder box(PstVariant::Unicode);
    const uint32_t inbox = box.Folder("Inbox");
    box.AddMessage(inbox, MakeMail("real", "Ann", "ann@example.com", "x"));
    test::AddRawNode(box, MakeNid(test::kNidTypeAssocMessage, 0x100), inbox,
                     {Prop::Unicode(0x001A, "IPM.Configuration.WorkHours")});
    test::AddRawNode(box, MakeNid(test::kNidTypeNormalMessage, 0x20000), inbox,
                     {Prop::Unicode(0x001A, "IPM.Contact"), Prop::Unicode(0x3001, "Bob Lee")});
    test::AddRawNode(box, MakeNid(test::kNidTypeNormalMessage, 0x20001), inbox,
                     {Prop::Unicode(0x001A, "IPM.DistList"), Prop::Unicode(0x3001, "Team")});
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    EXPECT_EQ(run.Subjects("Personal Folders\\Inbox\\"), std::vector<std::string>{"real"});
    EXPECT_EQ(run.result.counters.inbox, 1u);
    EXPECT_EQ(run.result.hiddenItems, 1u);
    std::multiset<std::string> classes;
    for (const ContactEntry& c : run.result.contacts) classes.insert(c.className);
    EXPECT_EQ(classes, (std::multiset<std::string>{"IPM.Contact", "IPM.DistList"}));
    EXPECT_EQ(run.result.counters.contacts, 2u);
}

// The class decides the list, not fields a lost map can give any item: a meeting request
// with a contact's field stays mail, an appointment without its named properties is listed
// with its subject, a contact without them by its display name. A text that is no UTF-16
// is left out with a warning.
TEST(FolderWalk, ClassDecidesTheListAndGarbledTextIsLeftOut) {
    MailboxBuilder box(PstVariant::Unicode);
    const uint32_t inbox = box.Folder("Inbox");
    test::AddRawNode(box, MakeNid(test::kNidTypeNormalMessage, 0x20000), inbox,
                     {Prop::Unicode(0x001A, "IPM.Schedule.Meeting.Request"),
                      Prop::Unicode(0x0037, "Review"), Prop::Unicode(0x3A06, "䡙늫眖ǌ")});
    // "A", a high surrogate with no low one after it, "B".
    test::AddRawNode(box, MakeNid(test::kNidTypeNormalMessage, 0x20001), inbox,
                     {Prop::Unicode(0x001A, "IPM.Note"),
                      Prop::Raw(0x0037, 0x001F, {0x41, 0x00, 0x00, 0xD8, 0x42, 0x00})});
    test::AddRawNode(box, MakeNid(test::kNidTypeNormalMessage, 0x20002), box.Folder("Calendar"),
                     {Prop::Unicode(0x001A, "IPM.Appointment"), Prop::Unicode(0x0037, "Lunch")});
    test::AddRawNode(box, MakeNid(test::kNidTypeNormalMessage, 0x20003), box.Folder("Contacts"),
                     {Prop::Unicode(0x001A, "IPM.Contact"), Prop::Unicode(0x3001, "Ann Lee")});
    Analysed run;
    test::AnalyseBox(box, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    const AnalysisResult& r = run.result;

    std::vector<std::string> subjects = run.Subjects("Personal Folders\\Inbox\\");
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(subjects, (std::vector<std::string>{"", "Review"}));
    ASSERT_EQ(r.contacts.size(), 1u);
    EXPECT_EQ(ContactName(r.contacts[0]), "Ann Lee");
    ASSERT_EQ(r.calendar.size(), 1u);
    EXPECT_EQ(r.calendar[0].subject, "Lunch");
    EXPECT_EQ(r.counters.calendar, 1u);
    EXPECT_EQ(r.counters.contacts, 1u);
    EXPECT_EQ(r.warnings,
              std::vector<std::string>{"1 text(s) that did not decode cleanly were left out"});
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

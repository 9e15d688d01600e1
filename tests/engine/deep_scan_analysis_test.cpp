// Analyses of files whose B-trees are damaged, with the deep scan completing their indexes.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine_fixture.h"
#include "storage/page.h"
#include "support/layouts.h"

namespace kestrel {
namespace {

using test::Analysed;
using test::BTree;
using test::MailboxBuilder;
using test::MakeMail;

class DeepScanAnalysis : public test::EncodedLayoutTest {
  protected:
    MailboxBuilder::Options Encoded() const {
        MailboxBuilder::Options options;
        options.cryptMethod = cryptMethod();
        return options;
    }
};
KESTREL_ENCODED_LAYOUTS(DeepScanAnalysis);

// A node-tree leaf zeroed, an older copy of it elsewhere in the file that also names a
// message deleted since: the leaf's messages come back to their folder, which lists them;
// the deleted one goes to Recovered Items, not back to the folder that no longer lists it.
TEST_P(DeepScanAnalysis, ZeroedNodeLeafComesBackFromItsOlderCopy) {
    MailboxBuilder box(variant(), Encoded());
    box.pst().limits().pageEntries = 4;
    const uint32_t inbox = box.Folder("Inbox");
    std::vector<uint32_t> nids;
    for (const char* subject : {"one", "two", "three", "four", "five"})
        nids.push_back(box.AddMessage(inbox, MakeMail(subject, "Ann", "ann@example.com", "x")));
    box.Build();

    // The old copy: the messages' entries as they were, and the one deleted since.
    std::vector<test::NbtEntry> old;
    for (const auto& entry : box.pst().NbtEntries()) {
        if (std::find(nids.begin(), nids.end(), entry.nid) != nids.end()) old.push_back(entry);
    }
    const uint32_t deleted = box.NextMessageNid();
    const test::StoredNode gone =
        StoreNode(box.pst(), box.ltp().PropertyContext(test::MailProps("deleted")));
    old.push_back({deleted, gone.bidData, gone.bidSub, inbox});
    box.pst().AddNbtLeaf(old);

    std::vector<uint8_t> image = box.Build();
    for (const auto& page : box.pst().BuiltPages(BTree::Node, 0)) {
        if (page.firstKey <= nids[0]) continue;  // the leaves with the later messages
        std::fill_n(image.begin() + static_cast<ptrdiff_t>(page.ib), box.pst().PageSize(), 0);
    }

    Analysed plain;
    test::AnalyseImage(image, plain, false, DeepScanMode::Never);
    ASSERT_EQ(plain.status, AnalysisStatus::Completed);
    EXPECT_LT(plain.Subjects("Personal Folders\\Inbox\\").size(), 5u);
    EXPECT_FALSE(plain.result.scan);

    Analysed run;
    test::AnalyseImage(image, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed) << run.result.error;
    ASSERT_TRUE(run.result.scan);
    EXPECT_EQ(run.result.scan->reason, ScanReason::SkippedSubtrees);
    std::vector<std::string> inboxSubjects = run.Subjects("Personal Folders\\Inbox\\");
    std::sort(inboxSubjects.begin(), inboxSubjects.end());
    EXPECT_EQ(inboxSubjects, (std::vector<std::string>{"five", "four", "one", "three", "two"}));
    EXPECT_EQ(run.Subjects("Personal Folders\\Recovered Items\\"),
              std::vector<std::string>{"deleted"});
}

// Every B-tree root unreadable: the run completes from the rebuilt indexes and says so.
TEST_P(DeepScanAnalysis, UnreadableRootsCompleteWithTheRebuiltIndexes) {
    MailboxBuilder box(variant(), Encoded());
    box.AddMessage(box.Folder("Inbox"), MakeMail("kept", "Ann", "ann@example.com", "x"));
    std::vector<uint8_t> image = box.Build();
    const PstLayout& layout = *PstLayout::For(variant());
    std::fill_n(image.begin() + static_cast<ptrdiff_t>(layout.nodeRootOffsetPos), layout.idSize, 0);
    std::fill_n(image.begin() + static_cast<ptrdiff_t>(layout.blockRootOffsetPos), layout.idSize,
                0);

    Analysed run;
    test::AnalyseImage(image, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed) << run.result.error;
    EXPECT_EQ(run.Subjects("Personal Folders\\Inbox\\"), std::vector<std::string>{"kept"});
    EXPECT_NE(std::find(run.result.warnings.begin(), run.result.warnings.end(),
                        std::string(kWarnIndexesRebuilt)),
              run.result.warnings.end());

    Analysed off;
    test::AnalyseImage(image, off, false, DeepScanMode::Never);
    EXPECT_EQ(off.status, AnalysisStatus::Error);
}

// Every B-tree page zeroed: folders and messages come back from their blocks alone, with the
// NIDs and folders their parents' tables give and their own subnodes (recipients,
// attachments); an attached message and the folders' tables do not surface as items. A
// message whose subnode list is lost takes no other's; one its folder no longer lists goes
// to Recovered Items.
TEST_P(DeepScanAnalysis, EveryBTreePageZeroedRebuildsFoldersAndMessagesFromTheirBlocks) {
    MailboxBuilder box(variant(), Encoded());
    const uint32_t inboxNid = box.Folder("Inbox");
    test::Message mail = MakeMail("with attachment", "Ann", "ann@example.com", "x");
    mail.recipients = {{"Bob", "bob@example.com"}, {"Cy", "cy@example.com", 2}};
    mail.attachments = {{"A.TXT", "a.txt", std::vector<uint8_t>(100, 'a'), "", {}}};
    auto inner = std::make_shared<test::Message>(MakeMail("inner", "Dee", "dee@example.com", "z"));
    mail.attachments.push_back({"FWD.MSG", "fwd.msg", {}, "", {}, inner});
    const uint32_t first = box.AddMessage(inboxNid, mail);
    test::Message plain = MakeMail("plain", "Bob", "bob@example.com", "y");
    plain.recipients = {{"Eve", "eve@example.com"}};
    plain.deliveryTime = 133000000000000000ull;
    const uint32_t second = box.AddMessage(box.Folder("Sent Items"), plain);
    // Same subject, other recipients: its subnodes are not the first one's.
    test::Message twin = plain;
    twin.recipients = {{"Fay", "fay@example.com"}};
    twin.deliveryTime = *plain.deliveryTime + 1;
    box.AddMessage(inboxNid, twin);
    test::Message lost = MakeMail("lost list", "Gil", "gil@example.com", "w");
    lost.recipients = {{"Hal", "hal@example.com"}};
    lost.attachments = {{"B.TXT", "b.txt", std::vector<uint8_t>(50, 'b'), "", {}}};
    const uint32_t lostNid = box.AddMessage(inboxNid, lost);
    std::vector<uint8_t> image = box.Build();
    // A message deleted since: its block is still there, no table lists it.
    StoreNode(box.pst(), box.ltp().PropertyContext(test::MailProps("deleted")));
    image = box.pst().Build();
    for (const auto& page : box.pst().BuiltPages())
        std::fill_n(image.begin() + static_cast<ptrdiff_t>(page.ib), box.pst().PageSize(), 0);
    for (const auto& entry : box.pst().NbtEntries()) {
        if (entry.nid != lostNid) continue;
        std::fill_n(image.begin() + static_cast<ptrdiff_t>(box.pst().Block(entry.bidSub).ib), 64,
                    0);
    }

    Analysed run;
    test::AnalyseImage(image, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed) << run.result.error;
    ASSERT_TRUE(run.result.scan);
    EXPECT_EQ(run.result.folders.MessageCount(), 5u);
    EXPECT_EQ(run.Subjects("Personal Folders\\Recovered Items\\"),
              std::vector<std::string>{"deleted"});
    auto find = [&](const char* folder, const std::string& subject, const std::string& to) {
        if (const MailFolderEntry* entry = run.Folder(folder)) {
            for (const MessageSummary& m : entry->messages)
                if (m.subject() == subject && m.to() == to) return &m;
        }
        ADD_FAILURE() << subject << " to " << to << " not in " << folder;
        return static_cast<const MessageSummary*>(nullptr);
    };
    const MessageSummary* attached = find("Personal Folders\\Inbox\\", "with attachment", "Bob");
    ASSERT_TRUE(attached);
    EXPECT_EQ(attached->nid, first);
    std::vector<std::string> names;
    for (const auto& a : attached->attachments()) {
        names.emplace_back(a.name);
        if (a.name == "a.txt") {
            EXPECT_EQ(a.size, 100u);
        }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "fwd.msg"}));
    const MessageSummary* sent = find("Personal Folders\\Sent Items\\", "plain", "Eve");
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->nid, second);
    EXPECT_TRUE(find("Personal Folders\\Inbox\\", "plain", "Fay"));
    const MessageSummary* bare = find("Personal Folders\\Inbox\\", "lost list", "Hal");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->nid, lostNid);
    EXPECT_TRUE(bare->attachments().empty());

    Analysed off;
    test::AnalyseImage(image, off, false, DeepScanMode::Never);
    EXPECT_EQ(off.status, AnalysisStatus::Error);
}

// Every B-tree page zeroed and the store's and root folder's own blocks destroyed too: the
// folders the scan rebuilt hang from a stand-in root and keep their messages.
TEST_P(DeepScanAnalysis, FoldersWithoutStoreOrRootHangFromAStandInRoot) {
    MailboxBuilder box(variant(), Encoded());
    box.AddMessage(box.Folder("Inbox"), MakeMail("kept", "Ann", "ann@example.com", "x"));
    std::vector<uint8_t> image = box.Build();
    for (const auto& page : box.pst().BuiltPages())
        std::fill_n(image.begin() + static_cast<ptrdiff_t>(page.ib), box.pst().PageSize(), 0);
    for (const auto& entry : box.pst().NbtEntries()) {
        if (entry.nid != test::kNidMessageStore && entry.nid != test::kNidRootFolder) continue;
        std::fill_n(image.begin() + static_cast<ptrdiff_t>(box.pst().Block(entry.bidData).ib), 64,
                    0);
    }

    Analysed run;
    test::AnalyseImage(image, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed) << run.result.error;
    EXPECT_EQ(run.Subjects("Personal Folders\\Top of Personal Folders\\Inbox\\"),
              std::vector<std::string>{"kept"});
    EXPECT_EQ(run.result.folders.MessageCount(), 1u);
}

}  // namespace
}  // namespace kestrel

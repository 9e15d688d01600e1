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

// Every B-tree page zeroed: the messages come back from their blocks alone, under Recovered
// Items; their attachments and the folders' own contexts do not surface as items.
TEST_P(DeepScanAnalysis, EveryBTreePageZeroedRebuildsMessagesFromTheirBlocks) {
    MailboxBuilder box(variant(), Encoded());
    test::Message mail = MakeMail("with attachment", "Ann", "ann@example.com", "x");
    mail.attachments = {{"A.TXT", "a.txt", std::vector<uint8_t>(100, 'a'), "", {}}};
    box.AddMessage(box.Folder("Inbox"), mail);
    box.AddMessage(box.Folder("Sent Items"), MakeMail("plain", "Bob", "bob@example.com", "y"));
    std::vector<uint8_t> image = box.Build();
    for (const auto& page : box.pst().BuiltPages())
        std::fill_n(image.begin() + static_cast<ptrdiff_t>(page.ib), box.pst().PageSize(), 0);

    Analysed run;
    test::AnalyseImage(image, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed) << run.result.error;
    ASSERT_TRUE(run.result.scan);
    EXPECT_EQ(run.result.scan->nodesRebuilt, 2u);
    std::vector<std::string> subjects = run.Subjects("Personal Folders\\Recovered Items\\");
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(subjects, (std::vector<std::string>{"plain", "with attachment"}));
    EXPECT_EQ(run.result.folders.MessageCount(), 2u);

    Analysed off;
    test::AnalyseImage(image, off, false, DeepScanMode::Never);
    EXPECT_EQ(off.status, AnalysisStatus::Error);
}

}  // namespace
}  // namespace kestrel

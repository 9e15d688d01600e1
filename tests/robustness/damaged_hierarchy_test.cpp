// The folder hierarchy under damage: a top folder whose parent entry loops back through its
// own subfolder, a top folder whose node entry is gone, and a message store that cannot be
// read still lead the walk to every folder and message below them; messages whose parent
// entries name themselves are restored with the orphans; two messages whose entries share
// a NID are both listed and each opens as itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/item_source.h"
#include "robustness/memory_file.h"
#include "robustness/pst_map.h"
#include "support/mailbox_builder.h"
#include "support/quiet_analysis.h"

namespace kestrel::test {
namespace {

constexpr uint32_t kTopFolder = 0x8022;

struct Outcome {
    AnalysisStatus status = AnalysisStatus::Error;
    AnalysisResult result;
    std::shared_ptr<ItemSource> source;

    // The subjects of every folder whose path ends with suffix.
    std::vector<std::string> SubjectsEndingIn(std::string_view suffix) const {
        std::vector<std::string> out;
        for (const MailFolderEntry& folder : result.folders.entries()) {
            if (folder.path.size() >= suffix.size() &&
                folder.path.compare(folder.path.size() - suffix.size(), suffix.size(), suffix) == 0)
                for (const MessageSummary& m : folder.messages) out.emplace_back(m.subject());
        }
        return out;
    }
    bool Warned(std::string_view text) const {
        return std::find(result.warnings.begin(), result.warnings.end(), text) !=
               result.warnings.end();
    }

    std::vector<std::string> Subjects(std::string_view path) const {
        std::vector<std::string> out;
        if (const MailFolderEntry* folder = result.folders.FindByPath(path))
            for (const MessageSummary& m : folder->messages) out.emplace_back(m.subject());
        return out;
    }
};

// The analysis of file's image; run.source reads it again while file lives.
Outcome Analyse(const MemoryFile& file, bool restoreDeleted = false) {
    Outcome run;
    run.status = AnalyseQuietly(file.path(), run.result, restoreDeleted, &run.source);
    return run;
}

Outcome Analyse(const std::vector<uint8_t>& image, bool restoreDeleted = false) {
    MemoryFile file(image);
    return Analyse(file, restoreDeleted);
}

struct Box {
    std::vector<uint8_t> image;
    uint32_t inbox = 0;
    uint32_t projects = 0;
    uint32_t message = 0;  // the one in the inbox
};

Box MakeBox() {
    MailboxBuilder box(PstVariant::Unicode);
    Box out;
    out.inbox = box.Folder("Inbox");
    out.projects = box.AddFolder(out.inbox, "Projects");
    out.message =
        box.AddMessage(out.inbox, MakeMail("in the inbox", "Ann", "ann@example.com", "one"));
    box.AddMessage(out.projects, MakeMail("in projects", "Ann", "ann@example.com", "two"));
    out.image = box.Build();
    return out;
}

void PutLe(std::vector<uint8_t>& image, uint64_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(TopFolder, ALoopThroughItsOwnSubfolderDoesNotHideIt) {
    Box box = MakeBox();
    const auto map = PstMap::Read(box.image);
    ASSERT_TRUE(map && map->Node(kTopFolder));
    // The top folder's parent becomes its own Inbox: the loader refuses the cycle and
    // leaves the top folder out of the tree.
    PutLe(box.image, map->Node(kTopFolder)->entryOffset + 3 * map->IdSize(), box.inbox);

    const Outcome run = Analyse(box.image);
    ASSERT_EQ(run.status, AnalysisStatus::Completed) << run.result.error;
    EXPECT_EQ(run.Subjects("Personal Folders\\Inbox\\"), std::vector<std::string>{"in the inbox"});
    EXPECT_EQ(run.Subjects("Personal Folders\\Inbox\\Projects\\"),
              std::vector<std::string>{"in projects"});
}

TEST(TopFolder, ALostEntryIsStoodInForAndItsFoldersStillRead) {
    Box box = MakeBox();
    const auto map = PstMap::Read(box.image);
    ASSERT_TRUE(map && map->Node(kTopFolder));
    // A zero NID: the entry is skipped as empty, the rest of its page still loads.
    PutLe(box.image, map->Node(kTopFolder)->entryOffset, 0);

    const Outcome run = Analyse(box.image);
    ASSERT_EQ(run.status, AnalysisStatus::Completed) << run.result.error;
    EXPECT_EQ(run.Subjects("Personal Folders\\Inbox\\"), std::vector<std::string>{"in the inbox"});
    EXPECT_EQ(run.Subjects("Personal Folders\\Inbox\\Projects\\"),
              std::vector<std::string>{"in projects"});
    EXPECT_TRUE(run.Warned("the top folder's node entry is lost; the folders below it are read"));
}

TEST(TopFolder, NothingWaitingForALostTopStillFailsAsBefore) {
    // No folders at all below the top: nothing to stand in for.
    MailboxBuilder::Options options;
    options.standardFolders = false;
    MailboxBuilder box(PstVariant::Ansi, options);
    std::vector<uint8_t> image = box.Build();
    const auto map = PstMap::Read(image);
    ASSERT_TRUE(map && map->Node(kTopFolder));
    PutLe(image, map->Node(kTopFolder)->entryOffset, 0);

    const Outcome run = Analyse(image);
    EXPECT_EQ(run.status, AnalysisStatus::Error);
    EXPECT_EQ(run.result.error, kMsgNoPersonalFolder);
}

TEST(MessageStore, OneThatCannotBeReadLeavesTheFoldersToTheRootFolder) {
    Box box = MakeBox();
    const auto map = PstMap::Read(box.image);
    ASSERT_TRUE(map && map->Node(0x21));
    // The store's heap signature broken: its properties are gone, its folders are not.
    const MapBlock* block = map->Block(map->Node(0x21)->bidData);
    ASSERT_TRUE(block);
    std::vector<uint8_t> head(box.image.begin() + block->ib, box.image.begin() + block->ib + 4);
    DecodeBlockData(map->cryptMethod, block->bid, head);
    head[2] = 0x00;
    EncodeBlockData(map->cryptMethod, block->bid, head);
    box.image[block->ib + 2] = head[2];

    const Outcome run = Analyse(box.image);
    ASSERT_EQ(run.status, AnalysisStatus::Completed) << run.result.error;
    EXPECT_EQ(run.SubjectsEndingIn("\\Inbox\\"), std::vector<std::string>{"in the inbox"});
    EXPECT_EQ(run.SubjectsEndingIn("\\Inbox\\Projects\\"), std::vector<std::string>{"in projects"});
    EXPECT_TRUE(
        run.Warned("the message store cannot be read; the folders are read from the root folder"));
}

TEST(RestoredOrphans, MessagesWhoseParentEntryNamesThemselvesOrTheirFolderAreRestored) {
    for (bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "the folder names itself" : "the message names itself");
        Box box = MakeBox();
        const auto map = PstMap::Read(box.image);
        const uint32_t nid = folder ? box.projects : box.message;
        ASSERT_TRUE(map && map->Node(nid));
        PutLe(box.image, map->Node(nid)->entryOffset + 3 * map->IdSize(), nid);

        const Outcome plain = Analyse(box.image);
        ASSERT_EQ(plain.status, AnalysisStatus::Completed);
        const std::string lost = folder ? "in projects" : "in the inbox";
        EXPECT_TRUE(plain.SubjectsEndingIn("\\Recovered Items\\").empty());

        const Outcome restored = Analyse(box.image, true);
        ASSERT_EQ(restored.status, AnalysisStatus::Completed);
        EXPECT_EQ(restored.Subjects("Personal Folders\\Recovered Items\\"),
                  std::vector<std::string>{lost});
    }
}

// Two folders naming each other as parents hang nowhere. A plain run leaves their messages
// out as it does deleted ones; a deep scan files them under Recovered Items, since damage,
// not a deletion, cut them off.
TEST(RestoredOrphans, MessagesOfFoldersWhoseParentsNameEachOtherComeBackWithTheDeepScan) {
    Box box = MakeBox();
    const auto map = PstMap::Read(box.image);
    ASSERT_TRUE(map && map->Node(box.inbox));
    PutLe(box.image, map->Node(box.inbox)->entryOffset + 3 * map->IdSize(), box.projects);
    MemoryFile file(box.image);

    const Outcome plain = Analyse(file);
    ASSERT_EQ(plain.status, AnalysisStatus::Completed);
    EXPECT_TRUE(plain.SubjectsEndingIn("\\Recovered Items\\").empty());
    EXPECT_TRUE(plain.SubjectsEndingIn("\\Inbox\\").empty());

    Outcome deep;
    deep.status = AnalyseQuietly(file.path(), deep.result, false, nullptr, DeepScanMode::Always);
    ASSERT_EQ(deep.status, AnalysisStatus::Completed) << deep.result.error;
    std::vector<std::string> recovered = deep.Subjects("Personal Folders\\Recovered Items\\");
    std::sort(recovered.begin(), recovered.end());
    EXPECT_EQ(recovered, (std::vector<std::string>{"in projects", "in the inbox"}));
}

TEST(SharedNid, BothMessagesAreListedAndEachOpensAsItself) {
    for (bool first : {true, false}) {
        SCOPED_TRACE(first ? "the later entry repeats the earlier NID"
                           : "the earlier one the later");
        MailboxBuilder builder(PstVariant::Unicode);
        const uint32_t inbox = builder.Folder("Inbox");
        std::vector<uint32_t> nids;
        for (const char* subject : {"alpha", "beta", "gamma"})
            nids.push_back(
                builder.AddMessage(inbox, MakeMail(subject, "Ann", "a@example.com", "1")));
        std::vector<uint8_t> image = builder.Build();
        const auto map = PstMap::Read(image);
        ASSERT_TRUE(map);
        // Two messages whose entries lie side by side in one leaf page.
        size_t i = 0;
        while (i + 1 < nids.size() &&
               map->Node(nids[i])->leafPage != map->Node(nids[i + 1])->leafPage)
            ++i;
        ASSERT_LT(i + 1, nids.size());
        const uint32_t a = nids[i], b = nids[i + 1];
        const uint32_t shared = first ? a : b;
        PutLe(image, map->Node(first ? b : a)->entryOffset, shared);

        MemoryFile file(image);
        Outcome run = Analyse(file);
        ASSERT_EQ(run.status, AnalysisStatus::Completed) << run.result.error;
        const MailFolderEntry* folder = run.result.folders.FindByPath("Personal Folders\\Inbox\\");
        ASSERT_NE(folder, nullptr);
        ASSERT_EQ(folder->messages.size(), 3u);
        size_t sharing = 0;
        for (const MessageSummary& m : folder->messages) {
            sharing += m.nid == shared;
            auto full = run.source->Load(m.nid, m.dataBid);
            ASSERT_TRUE(full && full->item->message && full->item->message->subject);
            EXPECT_EQ(full->item->message->subject->text, m.subject());
        }
        EXPECT_EQ(sharing, 2u);
    }
}

}  // namespace
}  // namespace kestrel::test

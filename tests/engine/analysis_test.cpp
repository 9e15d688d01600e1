// The analysis driver: failure messages, pause and stop, runs one after another, the
// restoring of orphan messages, and reading items again after the run.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <thread>

#include "engine/analysis.h"
#include "engine_fixture.h"
#include "platform/activity_log.h"
#include "support/ltp_builder.h"

namespace kestrel {
namespace {

using test::Analysed;
using test::MailboxBuilder;
using test::MakeMail;
using test::MakeNid;
using test::Prop;

// A mailbox with something in every list.
std::vector<uint8_t> FullMailbox() {
    MailboxBuilder box(PstVariant::Unicode);
    box.AddMessage(box.Folder("Inbox"), MakeMail("hello", "Ann", "ann@example.com", "hi"));
    box.AddMessage(box.Folder("Notes"), test::MakeStickyNote("note"));
    test::TaskInfo task;
    task.subject = "task";
    box.AddMessage(box.Folder("Tasks"), test::MakeTask(task));
    test::ContactInfo contact;
    contact.displayName = "Bob";
    contact.givenName = "Bob";
    box.AddMessage(box.Folder("Contacts"), test::MakeContact(contact));
    return box.Build();
}

TEST(Analysis, FileThatCannotBeOpenedEndsTheRunAsAnError) {
    Analysed run;
    test::AnalyseFile("/nonexistent/kestrel/box.pst", run);
    EXPECT_EQ(run.status, AnalysisStatus::Error);
    EXPECT_EQ(run.result.error, "Cannot read File, PST File allready in Use  ");
    EXPECT_TRUE(run.events.Saw("message Cannot read File, PST File allready in Use  "));
    EXPECT_TRUE(run.events.Saw("finished error"));
    EXPECT_FALSE(run.events.Saw("page completed.html"));
    EXPECT_EQ(run.source, nullptr);
}

TEST(Analysis, FailuresAfterOpeningAreErrorsThatLeaveTheProgressPage) {
    // Not a PST file at all.
    Analysed garbage;
    test::AnalyseImage(std::vector<uint8_t>(8192, 0x5A), garbage);
    EXPECT_EQ(garbage.status, AnalysisStatus::Error);
    EXPECT_FALSE(garbage.result.error.empty());
    EXPECT_FALSE(garbage.events.Saw("page completed.html"));
    EXPECT_FALSE(garbage.events.Saw("save on"));

    // A file with no nodes: no store.
    test::PstBuilder empty(PstVariant::Unicode);
    Analysed nodeless;
    test::AnalyseImage(empty.Build(), nodeless);
    EXPECT_EQ(nodeless.status, AnalysisStatus::Error);
    EXPECT_EQ(nodeless.result.error, "Cannot Analysis File");

    // A store whose IPM subtree names nothing that exists.
    test::PstBuilder pst(PstVariant::Unicode);
    test::LtpBuilder ltp(PstVariant::Unicode);
    std::vector<uint8_t> entryId(24, 0);
    entryId[20] = 0x62;  // NID 0x7762
    entryId[21] = 0x77;
    const test::StoredNode store = test::StoreNode(
        pst, ltp.PropertyContext({Prop::Int32(0x35DF, 0x89), Prop::Binary(0x35E0, entryId)}));
    pst.AddNode(0x21, store.bidData, store.bidSub, 0);
    Analysed topless;
    test::AnalyseImage(pst.Build(), topless);
    EXPECT_EQ(topless.status, AnalysisStatus::Error);
    EXPECT_EQ(topless.result.error, "Cannot Search Personal Folder");
    EXPECT_TRUE(topless.events.Saw("message Cannot Search Personal Folder"));
    EXPECT_TRUE(topless.events.Saw("page progress.html"));
    EXPECT_FALSE(topless.events.Saw("page completed.html"));
}

TEST(Analysis, CompletionShowsThePageAndSwitchesTheButtons) {
    Analysed run;
    test::AnalyseImage(FullMailbox(), run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    const auto events = run.events.Events();
    const std::vector<std::string> tail(events.end() - 5, events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"page completed.html", "save on", "pause-stop off",
                                              "bar hidden", "finished completed"}));
    EXPECT_EQ(run.result.variant, PstVariant::Unicode);
    EXPECT_TRUE(run.result.warnings.empty());
}

TEST(Analysis, PathIsOpenedAsGivenAndShownUpperCased) {
    test::ScratchFile file(FullMailbox(), "Mixed Case.pst");
    Analysed run;
    test::AnalyseFile(file.path(), run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    EXPECT_EQ(run.result.file, file.path().string());
    EXPECT_EQ(run.result.shownPath, ShownPstPath(file.path().string()));
    EXPECT_NE(run.result.shownPath.find("MIXED CASE.PST"), std::string::npos);
    EXPECT_EQ(ShownPstPath("/home/ann/Mail-é.pst"), "/HOME/ANN/MAIL-é.PST");
}

TEST(Analysis, MissingFirstChoiceFallsBackToTheSearchListChoice) {
    test::ScratchFile file(FullMailbox());
    AnalysisOptions options;
    options.sourcePstPath = "/nonexistent/kestrel/gone.pst";
    options.chosenPstPath = file.path().string();
    options.writeLog = false;
    AnalysisResult result;
    std::shared_mutex mutex;
    AnalysisObserver observer;
    RunControl control;
    EXPECT_EQ(RunAnalysis(options, result, mutex, observer, control), AnalysisStatus::Completed);
    EXPECT_EQ(result.file, file.path().string());
}

TEST(Analysis, RunWritesItsStepToTheActivityLog) {
    test::ScratchFile file(FullMailbox());
    const auto state = file.path().parent_path() / "state";
    const char* oldState = std::getenv("XDG_STATE_HOME");
    const char* oldConfig = std::getenv("KESTREL_CONFIG_DIR");
    const std::string savedState = oldState ? oldState : "";
    const std::string savedConfig = oldConfig ? oldConfig : "";
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    ::setenv("KESTREL_CONFIG_DIR", (file.path().parent_path() / "config").c_str(), 1);

    AnalysisOptions options;
    options.sourcePstPath = file.path().string();
    AnalysisResult result;
    std::shared_mutex mutex;
    AnalysisObserver observer;
    RunControl control;
    RunAnalysis(options, result, mutex, observer, control);
    std::ifstream in(LogFilePath(LogKind::Activity), std::ios::binary);
    const std::string log{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

    if (oldState)
        ::setenv("XDG_STATE_HOME", savedState.c_str(), 1);
    else
        ::unsetenv("XDG_STATE_HOME");
    if (oldConfig)
        ::setenv("KESTREL_CONFIG_DIR", savedConfig.c_str(), 1);
    else
        ::unsetenv("KESTREL_CONFIG_DIR");
    EXPECT_EQ(log, "\r\n\r\n\r\nStep2: Analysis PST File\r\n\r\n");
}

// Pauses the engine from inside the worker when the first folder is reported, and lets
// the test wait for that moment.
class PausingObserver : public test::RecordingObserver {
  public:
    AnalysisEngine* engine = nullptr;

    void FolderAdded(const std::string& path, const std::string& containerClass, uint32_t nid,
                     bool mail) override {
        RecordingObserver::FolderAdded(path, containerClass, nid, mail);
        std::lock_guard lock(pauseMutex_);
        if (!paused_ && engine) {
            engine->Pause();
            paused_ = true;
            pausedCv_.notify_all();
        }
    }
    void WaitForPause() {
        std::unique_lock lock(pauseMutex_);
        pausedCv_.wait(lock, [this] { return paused_; });
    }
    void Rearm() {
        std::lock_guard lock(pauseMutex_);
        paused_ = false;
    }

  private:
    std::mutex pauseMutex_;
    std::condition_variable pausedCv_;
    bool paused_ = false;
};

TEST(AnalysisEngine, StopKeepsWhatWasFoundAndRunsNoCompletion) {
    test::ScratchFile file(FullMailbox());
    PausingObserver observer;
    AnalysisEngine engine(&observer);
    observer.engine = &engine;
    AnalysisOptions options;
    options.sourcePstPath = file.path().string();
    options.writeLog = false;
    engine.Start(options);
    observer.WaitForPause();
    EXPECT_TRUE(engine.Paused());

    // A paused worker makes no progress.
    const size_t before = observer.Events().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(observer.Events().size(), before);
    EXPECT_TRUE(engine.Running());

    engine.Stop();
    EXPECT_FALSE(engine.Running());
    EXPECT_EQ(engine.status(), AnalysisStatus::Stopped);
    EXPECT_TRUE(observer.Saw("page Abort.html"));
    EXPECT_TRUE(observer.Saw("save hidden"));
    EXPECT_TRUE(observer.Saw("bar hidden"));
    EXPECT_TRUE(observer.Saw("finished stopped"));
    EXPECT_FALSE(observer.Saw("page completed.html"));
    EXPECT_FALSE(observer.Saw("pause-stop off"));
    const AnalysisResult result = engine.Snapshot();
    EXPECT_EQ(result.status, AnalysisStatus::Stopped);
    ASSERT_EQ(result.folders.size(), 1u);  // what the walk had when it was held
    EXPECT_EQ(result.folders.entries()[0].path, "Personal Folders\\");
}

TEST(AnalysisEngine, ResumedRunCompletes) {
    test::ScratchFile file(FullMailbox());
    PausingObserver observer;
    AnalysisEngine engine(&observer);
    observer.engine = &engine;
    AnalysisOptions options;
    options.sourcePstPath = file.path().string();
    options.writeLog = false;
    engine.Start(options);
    observer.WaitForPause();
    engine.Resume();
    engine.Wait();
    EXPECT_EQ(engine.status(), AnalysisStatus::Completed);
    EXPECT_TRUE(observer.Saw("page completed.html"));
    EXPECT_NE(engine.itemSource(), nullptr);
}

TEST(AnalysisEngine, EachRunStartsWithEmptyLists) {
    test::ScratchFile file(FullMailbox());
    AnalysisEngine engine;
    AnalysisOptions options;
    options.sourcePstPath = file.path().string();
    options.writeLog = false;
    engine.Start(options);
    engine.Wait();
    const AnalysisResult first = engine.Snapshot();
    engine.Start(options);
    engine.Wait();
    const AnalysisResult second = engine.Snapshot();
    ASSERT_EQ(second.status, AnalysisStatus::Completed);
    EXPECT_EQ(second.tasks.size(), 1u);
    EXPECT_EQ(second.notes.size(), 1u);
    EXPECT_EQ(second.contacts.size(), 1u);
    EXPECT_EQ(second.folders.size(), first.folders.size());
    EXPECT_EQ(second.folders.MessageCount(), first.folders.MessageCount());
    EXPECT_EQ(second.counters.tasks, 1u);
}

TEST(AnalysisEngine, StartingAnotherRunStopsTheRunningOne) {
    test::ScratchFile file(FullMailbox());
    PausingObserver observer;
    AnalysisEngine engine(&observer);
    observer.engine = &engine;
    AnalysisOptions options;
    options.sourcePstPath = file.path().string();
    options.writeLog = false;
    engine.Start(options);
    observer.WaitForPause();
    observer.engine = nullptr;  // the second run goes through
    engine.Start(options);
    engine.Wait();
    EXPECT_EQ(engine.status(), AnalysisStatus::Completed);
    EXPECT_TRUE(observer.Saw("finished stopped"));
    EXPECT_EQ(engine.Snapshot().tasks.size(), 1u);
}

// An orphan whose folder never turned up, and a message below a folder that cannot be
// read: the walk reaches neither. And a message outside the folders the walk covers.
std::vector<uint8_t> MailboxWithOrphans() {
    MailboxBuilder box(PstVariant::Unicode);
    box.AddMessage(box.Folder("Inbox"), MakeMail("filed", "Ann", "ann@example.com", "x"));
    // Beside the top folder, not lost: never restored.
    box.AddMessage(box.Folder("Search Root"), MakeMail("beside", "Ann", "ann@e.com", "x"));
    auto addMessage = [&](uint32_t index, uint32_t parent, const std::string& subject) {
        const test::StoredNode node =
            test::StoreNode(box.pst(), box.ltp().PropertyContext({Prop::Unicode(0x001A, "IPM.Note"),
                                                                  Prop::Unicode(0x0037, subject)}));
        box.pst().AddNode(MakeNid(test::kNidTypeNormalMessage, index), node.bidData, node.bidSub,
                          parent);
    };
    addMessage(0x30000, MakeNid(test::kNidTypeNormalFolder, 0x7F0), "orphan");
    // A folder node whose data block is not in the index.
    const uint32_t broken = MakeNid(test::kNidTypeNormalFolder, 0x7F1);
    box.pst().AddNode(broken, 0x7FFF0, 0, box.TopOfPersonalFolders());
    addMessage(0x30001, broken, "below broken");
    return box.Build();
}

TEST(Analysis, RestoreDeletedFilesUnreachedMessagesUnderRecoveredItems) {
    const std::vector<uint8_t> image = MailboxWithOrphans();
    Analysed plain;
    test::AnalyseImage(image, plain);
    ASSERT_EQ(plain.status, AnalysisStatus::Completed);
    EXPECT_EQ(plain.Folder("Personal Folders\\Recovered Items\\"), nullptr);
    EXPECT_EQ(plain.result.folders.MessageCount(), 1u);

    Analysed restored;
    test::AnalyseImage(image, restored, true);
    ASSERT_EQ(restored.status, AnalysisStatus::Completed);
    auto subjects = restored.Subjects("Personal Folders\\Recovered Items\\");
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(subjects, (std::vector<std::string>{"below broken", "orphan"}));
    EXPECT_EQ(restored.result.restoredCount, 2u);
    EXPECT_EQ(restored.Subjects("Personal Folders\\Inbox\\"), std::vector<std::string>{"filed"});
    EXPECT_TRUE(restored.events.Saw("folder Personal Folders\\Recovered Items\\ mail [IPF.Note]"));
}

TEST(ItemSource, ReadsTheFullItemAgainAndRefusesAChangedFile) {
    MailboxBuilder box(PstVariant::Unicode);
    test::Message mail = MakeMail("full", "Ann", "ann@example.com", "the body text");
    mail.recipients = {{"Bob", "bob@example.com", 1}, {"Cy", "cy@example.com", 2}};
    test::Attachment attachment;
    attachment.longName = "notes.txt";
    attachment.data = {'a', 'b', 'c'};
    mail.attachments.push_back(attachment);
    // An uncompressed ("MELA") RTF body: sizes, magic, CRC 0, then the text.
    const std::string rtf = "{\\rtf1 hi}";
    std::vector<uint8_t> packed = {static_cast<uint8_t>(rtf.size() + 12),
                                   0,
                                   0,
                                   0,
                                   static_cast<uint8_t>(rtf.size()),
                                   0,
                                   0,
                                   0,
                                   'M',
                                   'E',
                                   'L',
                                   'A',
                                   0,
                                   0,
                                   0,
                                   0};
    packed.insert(packed.end(), rtf.begin(), rtf.end());
    mail.rtfCompressed = packed;
    const uint32_t nid = box.AddMessage(box.Folder("Inbox"), mail);
    test::ScratchFile file(box.Build());
    Analysed run;
    test::AnalyseFile(file.path(), run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    ASSERT_NE(run.source, nullptr);

    // The light record keeps no body, only its size and the attachment's name and size.
    const MessageSummary& summary = run.Folder("Personal Folders\\Inbox\\")->messages.at(0);
    EXPECT_EQ(summary.bodyLength, 13u);
    ASSERT_EQ(summary.attachments.size(), 1u);
    EXPECT_EQ(summary.attachments[0].name, "notes.txt");
    EXPECT_EQ(summary.attachments[0].size, 3u);
    EXPECT_TRUE(summary.hasRtf);

    const std::unique_ptr<FullItem> full = run.source->Load(nid);
    ASSERT_NE(full, nullptr);
    ASSERT_NE(full->item->message, nullptr);
    EXPECT_EQ(full->item->message->body, "the body text");
    ASSERT_EQ(full->item->attachments.size(), 1u);
    EXPECT_EQ(full->item->attachments[0].data, (std::vector<uint8_t>{'a', 'b', 'c'}));
    ASSERT_EQ(full->recipients.size(), 2u);
    EXPECT_EQ(full->recipients[0].displayName, "Bob");
    EXPECT_EQ(full->recipients[0].address, "bob@example.com");
    EXPECT_EQ(full->recipients[0].type, 1u);
    EXPECT_EQ(full->recipients[1].displayName, "Cy");
    EXPECT_EQ(full->recipients[1].type, 2u);
    EXPECT_EQ(run.source->Load(0x7FFFFFE4), nullptr);

    // The preview asks for the RTF body in a file; the walk wrote none.
    const auto rtfFile = file.path().parent_path() / "cache" / "temp.rtf";
    ASSERT_NE(run.source->Load(nid, rtfFile), nullptr);
    std::ifstream in(rtfFile, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), rtf);

    std::ofstream(file.path(), std::ios::binary | std::ios::app) << 'x';
    EXPECT_THROW(run.source->Load(nid), SourceChangedError);
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

// Damaged copies of a mailbox: every run ends (completed or with a message), and every
// message it filed reads again or fails with a file error, never worse.
TEST(Analysis, DamagedFilesEndCleanly) {
    const std::vector<uint8_t> image = FullMailbox();
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int round = 0; round < 120; ++round) {
        std::vector<uint8_t> damaged = image;
        const int flips = 1 + static_cast<int>(next() % 16);
        for (int i = 0; i < flips; ++i) {
            damaged[next() % damaged.size()] = static_cast<uint8_t>(next());
        }
        test::ScratchFile file(damaged);
        Analysed run;
        test::AnalyseFile(file.path(), run, round % 2 == 1);
        SCOPED_TRACE(round);
        if (run.status == AnalysisStatus::Error) {
            EXPECT_FALSE(run.result.error.empty());
            continue;
        }
        ASSERT_EQ(run.status, AnalysisStatus::Completed);
        EXPECT_FALSE(run.result.folders.empty());
        ASSERT_NE(run.source, nullptr);
        for (const MailFolderEntry& folder : run.result.folders.entries()) {
            for (const MessageSummary& message : folder.messages) {
                try {
                    run.source->Load(message.nid);
                } catch (const FileError&) {
                }
            }
        }
    }
}

}  // namespace
}  // namespace kestrel

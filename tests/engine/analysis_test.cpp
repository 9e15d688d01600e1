// The analysis driver: failure messages, the file choice, the activity log, pause and
// stop, runs one after another, the restoring of orphan messages, and reading items again
// after the run.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/analysis.h"
#include "engine_fixture.h"
#include "platform/activity_log.h"
#include "platform/scratch_home.h"  // the platform tests' scratch folders
#include "support/quiet_analysis.h"

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
    box.AddMessage(box.Folder("Tasks"), test::MakeTask({.subject = "task"}));
    box.AddMessage(box.Folder("Contacts"),
                   test::MakeContact({.displayName = "Bob", .givenName = "Bob"}));
    return box.Build();
}

// A store whose IPM subtree names a folder that does not exist.
std::vector<uint8_t> ToplessStore() {
    test::PstBuilder pst(PstVariant::Unicode);
    test::LtpBuilder ltp(PstVariant::Unicode);
    std::vector<uint8_t> entryId(24, 0);
    entryId[20] = 0x62;  // NID 0x7762
    entryId[21] = 0x77;
    const test::StoredNode store = test::StoreNode(
        pst, ltp.PropertyContext({Prop::Int32(0x35DF, 0x89), Prop::Binary(0x35E0, entryId)}));
    pst.AddNode(0x21, store.bidData, store.bidSub, 0);
    return pst.Build();
}

// Every failure is an error with its message shown; the progress page stays.
TEST(Analysis, FailuresAreErrorsWithTheirMessage) {
    struct Case {
        const char* what;
        std::vector<uint8_t> image;  // empty: a path that does not exist
        std::string error;           // empty: any message
    };
    const Case cases[] = {
        {"missing file", {}, "Cannot read File, PST File allready in Use  "},
        {"no PST at all", std::vector<uint8_t>(8192, 0x5A), ""},
        {"no nodes", test::PstBuilder(PstVariant::Unicode).Build(), "Cannot Analysis File"},
        {"no top folder", ToplessStore(), "Cannot Search Personal Folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Analysed run;
        if (c.image.empty()) {
            test::AnalyseFile("/nonexistent/kestrel/box.pst", run);
            EXPECT_EQ(run.source, nullptr);
        } else {
            test::AnalyseImage(c.image, run);
        }
        EXPECT_EQ(run.status, AnalysisStatus::Error);
        EXPECT_FALSE(run.result.error.empty());
        if (!c.error.empty()) {
            EXPECT_EQ(run.result.error, c.error);
        }
        EXPECT_TRUE(run.events.Saw("page progress.html"));
        EXPECT_TRUE(run.events.Saw("message " + run.result.error));
        EXPECT_TRUE(run.events.Saw("finished error"));
        EXPECT_FALSE(run.events.Saw("page completed.html"));
        EXPECT_FALSE(run.events.Saw("save on"));
    }
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
    EXPECT_NE(run.result.shownPath.find("MIXED CASE.PST"), std::string::npos);
    EXPECT_EQ(ShownPstPath("/home/ann/Mail-é.pst"), "/HOME/ANN/MAIL-é.PST");

    // A first choice that names nothing falls back to the search list's choice.
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

// Nothing lost silently: nodes the walk met but could not read are named in the warnings,
// and a damaged header is read on with a word.
TEST(Analysis, NodesItCouldNotReadAreWarnedOf) {
    MailboxBuilder box(PstVariant::Unicode);
    const uint32_t inbox = box.Folder("Inbox");
    box.AddMessage(inbox, MakeMail("kept", "Ann", "ann@example.com", "hi"));
    box.pst().AddNode(MakeNid(0x04, 0x500), 0x7FFFF0, 0, inbox);  // no such block
    const std::vector<uint8_t> garbage(300, 0x5A);
    box.pst().AddNode(MakeNid(0x04, 0x501), box.pst().AddBlock(garbage), 0, inbox);
    test::LtpBuilder ltp(PstVariant::Unicode);
    const test::StoredNode stored = test::StoreNode(
        box.pst(), ltp.PropertyContext({test::Prop::Unicode(0x001A, "IPM.Note"),
                                        test::Prop::Unicode(0x0037, "no subnodes")}));
    box.pst().AddNode(MakeNid(0x04, 0x502), stored.bidData, 0x7FFFE2, inbox);  // no such block
    std::vector<uint8_t> image = box.Build();
    image[0] = 'X';  // the magic

    Analysed run;
    test::AnalyseImage(image, run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    EXPECT_EQ(run.Subjects("Personal Folders\\Inbox\\"),
              (std::vector<std::string>{"no subnodes", "kept"}));
    EXPECT_EQ(run.result.warnings,
              (std::vector<std::string>{"the header's magic is not \"!BDN\"; read on",
                                        "1 node(s) whose data block is missing: 0xA004",
                                        "1 node(s) whose data could not be read: 0xA024",
                                        "1 node(s) whose subnode list is lost: 0xA044"}));
}

class AnalysisLog : public test::ScratchHome {};

TEST_F(AnalysisLog, RunWritesItsStepToTheActivityLog) {
    const test::ScratchFile file(FullMailbox());
    AnalysisOptions options;
    options.sourcePstPath = file.path().string();
    AnalysisResult result;
    std::shared_mutex mutex;
    AnalysisObserver observer;
    RunControl control;
    RunAnalysis(options, result, mutex, observer, control);
    EXPECT_EQ(ReadBytes(LogFilePath(LogKind::Activity)),
              "\r\n\r\n\r\nStep2: Analysis PST File\r\n\r\n");
}

// An engine over the full mailbox whose observer pauses it when the first folder is
// reported; Start() returns once the worker is held there.
class PausedRun : public ::testing::Test {
  protected:
    class Observer : public test::RecordingObserver {
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

      private:
        std::mutex pauseMutex_;
        std::condition_variable pausedCv_;
        bool paused_ = false;
    };

    void Start() {
        options.sourcePstPath = file.path().string();
        options.writeLog = false;
        observer.engine = &engine;
        engine.Start(options);
        observer.WaitForPause();
    }

    test::ScratchFile file{FullMailbox()};
    Observer observer;
    AnalysisEngine engine{&observer};
    AnalysisOptions options;
};

TEST_F(PausedRun, StopKeepsWhatWasFoundAndRunsNoCompletion) {
    Start();
    EXPECT_TRUE(engine.Paused());
    // A paused worker makes no progress.
    const size_t before = observer.Events().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(observer.Events().size(), before);
    EXPECT_TRUE(engine.Running());

    engine.Stop();
    EXPECT_FALSE(engine.Running());
    EXPECT_EQ(engine.status(), AnalysisStatus::Stopped);
    for (const char* event : {"page Abort.html", "save hidden", "bar hidden", "finished stopped"})
        EXPECT_TRUE(observer.Saw(event)) << event;
    EXPECT_FALSE(observer.Saw("page completed.html"));
    EXPECT_FALSE(observer.Saw("pause-stop off"));
    const AnalysisResult result = engine.Snapshot();
    EXPECT_EQ(result.status, AnalysisStatus::Stopped);
    ASSERT_EQ(result.folders.size(), 1u);  // what the walk had when it was held
    EXPECT_EQ(result.folders.entries()[0].path, "Personal Folders\\");
}

TEST_F(PausedRun, ResumedRunCompletes) {
    Start();
    engine.Resume();
    engine.Wait();
    EXPECT_EQ(engine.status(), AnalysisStatus::Completed);
    EXPECT_TRUE(observer.Saw("page completed.html"));
    EXPECT_NE(engine.itemSource(), nullptr);
}

// A new run stops the held one, and starts with empty lists.
TEST_F(PausedRun, AnotherRunStopsTheRunningOneAndStartsEmpty) {
    Start();
    observer.engine = nullptr;  // the second run goes through
    engine.Start(options);
    engine.Wait();
    EXPECT_TRUE(observer.Saw("finished stopped"));
    const AnalysisResult first = engine.Snapshot();
    engine.Start(options);
    engine.Wait();
    const AnalysisResult second = engine.Snapshot();
    ASSERT_EQ(second.status, AnalysisStatus::Completed);
    EXPECT_EQ(second.tasks.size(), 1u);
    EXPECT_EQ(second.notes.size(), 1u);
    EXPECT_EQ(second.contacts.size(), 1u);
    EXPECT_EQ(second.counters.tasks, 1u);
    EXPECT_EQ(second.folders.size(), first.folders.size());
    EXPECT_EQ(second.folders.MessageCount(), first.folders.MessageCount());
}

// An orphan whose folder never turned up, and a message below a folder that cannot be
// read: the walk reaches neither. And a message beside the top folder, which is not lost.
TEST(Analysis, RestoreDeletedFilesUnreachedMessagesUnderRecoveredItems) {
    MailboxBuilder box(PstVariant::Unicode);
    box.AddMessage(box.Folder("Inbox"), MakeMail("filed", "Ann", "ann@example.com", "x"));
    box.AddMessage(box.Folder("Search Root"), MakeMail("beside", "Ann", "ann@e.com", "x"));
    const uint32_t broken = MakeNid(test::kNidTypeNormalFolder, 0x7F1);
    box.pst().AddNode(broken, 0x7FFF0, 0, box.TopOfPersonalFolders());  // data not indexed
    test::AddRawNode(box, MakeNid(test::kNidTypeNormalMessage, 0x30000),
                     MakeNid(test::kNidTypeNormalFolder, 0x7F0), test::MailProps("orphan"));
    test::AddRawNode(box, MakeNid(test::kNidTypeNormalMessage, 0x30001), broken,
                     test::MailProps("below broken"));
    const std::vector<uint8_t> image = box.Build();

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
    mail.attachments = {{.longName = "notes.txt", .data = {'a', 'b', 'c'}}};
    const std::string rtf = "{\\rtf1 hi}";
    mail.rtfCompressed = test::CompressRtf(rtf, false);
    const uint32_t nid = box.AddMessage(box.Folder("Inbox"), mail);
    test::ScratchFile file(box.Build());
    Analysed run;
    test::AnalyseFile(file.path(), run);
    ASSERT_EQ(run.status, AnalysisStatus::Completed);
    ASSERT_NE(run.source, nullptr);

    // The light record keeps no body, only its size and the attachment's name and size.
    const MessageSummary& summary = run.Folder("Personal Folders\\Inbox\\")->messages.at(0);
    EXPECT_EQ(summary.bodyLength, 13u);
    ASSERT_EQ(summary.attachments().size(), 1u);
    EXPECT_EQ((*summary.attachments().begin()).name, "notes.txt");
    EXPECT_EQ((*summary.attachments().begin()).size, 3u);
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

    // A relative name would land in the current directory: nothing is written.
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(rtfFile.parent_path());
    ASSERT_NE(run.source->Load(nid, "relative.rtf"), nullptr);
    EXPECT_FALSE(std::filesystem::exists(rtfFile.parent_path() / "relative.rtf"));
    std::filesystem::current_path(before);

    std::ofstream(file.path(), std::ios::binary | std::ios::app) << 'x';
    EXPECT_THROW(run.source->Load(nid), SourceChangedError);
}

// Folders in folders, mail and other items, attachments: a walk that goes up and down.
std::vector<uint8_t> NestedMailbox() {
    MailboxBuilder box(PstVariant::Unicode);
    const uint32_t inbox = box.Folder("Inbox");
    const uint32_t sub = box.AddFolder(inbox, "Sub");
    const uint32_t deeper = box.AddFolder(sub, "Deeper");
    const uint32_t folders[] = {inbox, sub, deeper, box.Folder("Sent Items")};
    for (int i = 0; i < 60; ++i) {
        test::Message m = MakeMail("m" + std::to_string(i), "Ann", "ann@example.com",
                                   std::string(10 + i * 37, 'b'));
        if (i % 4 == 0) m.attachments.push_back({"a", "a.bin", std::vector<uint8_t>(i * 90, 1)});
        box.AddMessage(folders[i % 4], m);
    }
    box.AddMessage(box.Folder("Tasks"), test::MakeTask({.subject = "task"}));
    box.AddMessage(box.Folder("Contacts"), test::MakeContact({.displayName = "Bob"}));
    return box.Build();
}

// Stops the run when the walk reports reaching node `at`.
class StopAt : public AnalysisObserver {
  public:
    StopAt(RunControl& control, int64_t at) : control_(control), at_(at) {}
    void ProgressPosition(int64_t position) override {
        if (position == at_) control_.RequestStop();
    }

  private:
    RunControl& control_;
    int64_t at_;
};

std::string RunStoppedAt(const std::string& path, int64_t at, size_t loadAhead,
                         AnalysisStatus* status) {
    AnalysisOptions options;
    options.sourcePstPath = path;
    options.writeLog = false;
    options.loadAhead = loadAhead;
    AnalysisResult result;
    std::shared_mutex mutex;
    RunControl control;
    StopAt observer(control, at);
    *status = RunAnalysis(options, result, mutex, observer, control);
    return test::ResultText(result);
}

TEST(Analysis, WalkLoadingAheadFilesWhatOneThreadFiles) {
    for (const auto& image : {NestedMailbox(), FullMailbox()}) {
        test::ScratchFile file(image);
        AnalysisResult one, two, three;
        ASSERT_EQ(test::AnalyseQuietly(file.path().string(), one, false, nullptr,
                                       DeepScanMode::Automatic, 0),
                  AnalysisStatus::Completed);
        test::AnalyseQuietly(file.path().string(), two, false, nullptr, DeepScanMode::Automatic,
                             16);
        test::AnalyseQuietly(file.path().string(), three, false, nullptr, DeepScanMode::Automatic,
                             1);
        EXPECT_EQ(test::ResultText(one), test::ResultText(two));
        EXPECT_EQ(test::ResultText(one), test::ResultText(three));
    }
}

TEST(Analysis, StoppedWalkLoadingAheadKeepsWhatItFiled) {
    test::ScratchFile file(NestedMailbox());
    for (int64_t at : {1, 4, 9, 30, 55}) {
        SCOPED_TRACE(at);
        AnalysisStatus serialStatus{}, aheadStatus{};
        const std::string serial = RunStoppedAt(file.path().string(), at, 0, &serialStatus);
        const std::string ahead = RunStoppedAt(file.path().string(), at, 8, &aheadStatus);
        EXPECT_EQ(serialStatus, AnalysisStatus::Stopped);
        EXPECT_EQ(aheadStatus, AnalysisStatus::Stopped);
        EXPECT_EQ(serial, ahead);
    }
}

}  // namespace
}  // namespace kestrel

// The recovery screen on a built mailbox: the tree keyed by folder NID with its icons and
// check marks, every list view, a newer selection cancelling a held fill, the previews and
// their requests, Pause and Stop, Back and Exit, the keyboard rules, and a file that does
// not open.
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <fstream>

#include "engine/analysis.h"
#include "frontend/preview_guard.h"
#include "frontend/report_viewer.h"
#include "items/preview_page.h"
#include "platform/activity_log.h"
#include "platform/app_folders.h"
#include "platform/settings.h"
#include "screen_fixture.h"
#include "support/mailbox_builder.h"

namespace kestrel::test {
namespace {

const std::vector<uint8_t> kPng = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0};

struct Built {
    std::filesystem::path file;
    uint32_t inbox = 0, archiveA = 0, archiveB = 0, taskInbox = 0, oldContacts = 0;
    uint32_t contacts = 0, tasks = 0, notes = 0, journal = 0, calendar = 0;
};

// A mailbox with two sibling folders of one name, an "Inbox" of class IPF.Task, a contacts
// folder outside the fixed paths, one item of every kind, and four kinds of mail body.
Built BuildMailbox(const std::filesystem::path& folder) {
    MailboxBuilder box(PstVariant::Unicode);
    Built b;
    b.inbox = box.Folder("Inbox");
    b.contacts = box.Folder("Contacts");
    b.tasks = box.Folder("Tasks");
    b.notes = box.Folder("Notes");
    b.journal = box.Folder("Journal");
    b.calendar = box.Folder("Calendar");
    const uint32_t top = box.TopOfPersonalFolders();
    b.archiveA = box.AddFolder(top, "Archive");
    b.archiveB = box.AddFolder(top, "Archive");
    b.taskInbox = box.AddFolder(b.archiveA, "Inbox", "IPF.Task");
    b.oldContacts = box.AddFolder(top, "Old Contacts", "IPF.Contact");

    Message html = MakeMail("Html with image", "Ann Lee", "ann@example.com", "");
    html.body.reset();
    html.htmlBody =
        "<html><body><p>Logo:</p><img src=\"cid:logo@kestrel\">"
        "<img src=\"http://remote.example/track.png\"></body></html>";
    Attachment logo;
    logo.longName = "logo.png";
    logo.data = kPng;
    logo.props = {Prop::Unicode(0x3712, "<logo@kestrel>")};
    html.attachments = {logo};
    box.AddMessage(b.inbox, html);

    Message rtf = MakeMail("Rtf only", "Bob Roe", "bob@example.com", "");
    rtf.body.reset();
    rtf.rtfCompressed = CompressRtf(
        "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 {\\*\\htmltag64 <p>}Hello from RTF"
        "{\\*\\htmltag72 </p>}}");
    box.AddMessage(b.inbox, rtf);

    box.AddMessage(b.inbox,
                   MakeMail("Text only", "Cy Poe", "cy@example.com", "Plain <text> & more"));
    box.AddMessage(b.archiveA, MakeMail("In first archive", "A", "a@example.com", "one"));
    box.AddMessage(b.archiveB, MakeMail("In second archive", "B", "b@example.com", "two"));
    box.AddMessage(b.contacts, MakeContact({.displayName = "Dee Fox",
                                            .givenName = "Dee",
                                            .surname = "Fox",
                                            .email = "dee@example.com"}));
    box.AddMessage(
        b.oldContacts,
        MakeContact({.displayName = "Old Friend", .givenName = "Old", .email = "old@example.com"}));
    box.AddMessage(b.tasks, MakeTask({.subject = "File taxes", .due = FileTime(2007, 4, 1)}));
    box.AddMessage(b.notes, MakeStickyNote("Buy milk"));
    box.AddMessage(b.journal,
                   MakeJournal({.subject = "Called Ann", .start = FileTime(2007, 1, 2)}));
    box.AddMessage(b.calendar, MakeAppointment({.subject = "Dentist",
                                                .location = "Town",
                                                .start = FileTime(2007, 1, 3, 9),
                                                .end = FileTime(2007, 1, 3, 10)}));
    b.file = folder / "built.pst";
    box.WriteTo(b.file);
    return b;
}

class BuiltScreen : public ScreenTest {
  protected:
    static void SetUpTestSuite() {
        folder_ = std::filesystem::temp_directory_path() /
                  ("kestrel-gui-box-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
        built_ = BuildMailbox(folder_);
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    static std::filesystem::path folder_;
    static Built built_;
};
std::filesystem::path BuiltScreen::folder_;
Built BuiltScreen::built_;

TEST_F(BuiltScreen, TreeIsKeyedByFolderNidWithItsIconsAndEachArchiveListsItsOwnMail) {
    RepairRecover& screen = OpenScreen(built_.file);
    WaitForEnd();
    PstFolderTree* tree = screen.ui().folderTree;
    QTreeWidgetItem* root = tree->topLevelItem(0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(tree->topLevelItemCount(), 1);
    EXPECT_EQ(root->text(0), "Personal Folders");
    EXPECT_EQ(root->data(0, PstFolderTree::kIconRole).toInt(), 2);
    EXPECT_EQ(tree->ItemOf(built_.inbox)->data(0, PstFolderTree::kIconRole).toInt(), 7);
    EXPECT_EQ(tree->ItemOf(built_.taskInbox)->data(0, PstFolderTree::kIconRole).toInt(), 13);
    EXPECT_EQ(tree->ItemOf(built_.oldContacts)->data(0, PstFolderTree::kIconRole).toInt(), 4);
    EXPECT_EQ(tree->ItemOf(built_.taskInbox)->parent(), tree->ItemOf(built_.archiveA));

    // Two siblings of one name are two items; a NID met again is the same item.
    QTreeWidgetItem* a = tree->ItemOf(built_.archiveA);
    QTreeWidgetItem* b = tree->ItemOf(built_.archiveB);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->text(0), b->text(0));
    const int count = root->childCount();
    EXPECT_EQ(tree->AddFolder("Personal Folders\\Archive\\", "IPF.Note", built_.archiveB), b);
    EXPECT_EQ(root->childCount(), count);

    Select(built_.archiveA);
    EXPECT_EQ(Column(1), QStringList{"In first archive"});
    Select(built_.archiveB);
    EXPECT_EQ(Column(1), QStringList{"In second archive"});

    // The summary shows the engine's counters; the run's end shows in the buttons.
    const AnalysisResult result = screen.engine().Snapshot();
    EXPECT_EQ(screen.CounterField("Inbox")->text(), QString::number(result.counters.inbox));
    EXPECT_EQ(screen.CounterField("Inbox")->text(), "3");
    EXPECT_TRUE(screen.ui().saveButton->isEnabled());
    EXPECT_FALSE(screen.ui().pauseButton->isEnabled());
    EXPECT_FALSE(screen.ui().stopButton->isEnabled());
    EXPECT_TRUE(screen.ui().progressBar->isHidden());
}

TEST_F(BuiltScreen, ChecksSpreadToDescendantsAndAncestorsWithBoldMarks) {
    RepairRecover& screen = OpenScreen(built_.file);
    WaitForEnd();
    PstFolderTree* tree = screen.ui().folderTree;
    QTreeWidgetItem* archive = tree->ItemOf(built_.archiveA);
    QTreeWidgetItem* leaf = tree->ItemOf(built_.taskInbox);
    QTreeWidgetItem* root = tree->topLevelItem(0);

    // Down: ticking a folder ticks (and bolds) what is below it; the root has other children.
    archive->setCheckState(0, Qt::Checked);  // as a click on the box does
    EXPECT_EQ(leaf->checkState(0), Qt::Checked);
    EXPECT_TRUE(leaf->font(0).bold());
    EXPECT_EQ(root->checkState(0), Qt::Unchecked);
    EXPECT_TRUE(root->font(0).bold());

    // Up: clearing the only child clears its parent; the root stays bold only while a
    // child is.
    leaf->setCheckState(0, Qt::Unchecked);
    EXPECT_EQ(archive->checkState(0), Qt::Unchecked);
    EXPECT_FALSE(archive->font(0).bold());
    EXPECT_FALSE(root->font(0).bold());
}

TEST_F(BuiltScreen, EveryViewKindIsReachableAndAFolderOutsideTheFixedPathsShowsItsOwnItems) {
    RepairRecover& screen = OpenScreen(built_.file);
    WaitForEnd();
    struct Case {
        uint32_t nid;
        ResultViewKind kind;
        QString first;
    };
    const Case cases[] = {
        {built_.contacts, ResultViewKind::Contacts, "Fox, Dee"},
        {built_.tasks, ResultViewKind::Tasks, "File taxes"},
        {built_.notes, ResultViewKind::StickyNotes, "Buy milk"},
        {built_.journal, ResultViewKind::Journal, "Called Ann"},
        {built_.calendar, ResultViewKind::Calendar, "Dentist"},
        {built_.oldContacts, ResultViewKind::Contacts, ", Old"},
        {built_.inbox, ResultViewKind::Mail, "Ann Lee"},
    };
    for (const Case& c : cases) {
        Select(c.nid);
        EXPECT_EQ(screen.shownView(), c.kind) << c.first.toStdString();
        ASSERT_GE(screen.ui().itemList->rowCount(), 1) << c.first.toStdString();
        EXPECT_TRUE(screen.ui().itemList->item(0, 0)->text().startsWith(c.first))
            << screen.ui().itemList->item(0, 0)->text().toStdString();
        if (c.kind == ResultViewKind::Calendar) {
            EXPECT_TRUE(screen.ui().itemList->showGrid());
        }
    }
    // The folder outside the fixed paths lists only its own contact.
    Select(built_.oldContacts);
    EXPECT_EQ(screen.ui().itemList->rowCount(), 1);
}

TEST_F(BuiltScreen, ANewerSelectionCancelsAHeldFillAndTheListShowsOnlyTheLastOne) {
    RepairRecover& screen = OpenScreen(built_.file);
    WaitForEnd();
    std::mutex mutex;
    std::condition_variable wake;
    bool release = false;
    screen.hooks().beforeFill = [&](uint32_t nid) {
        if (nid != built_.inbox) return;
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return release; });
    };
    QSignalSpy discarded(&screen, &RepairRecover::fillDiscarded);
    screen.ui().folderTree->setCurrentItem(screen.ui().folderTree->ItemOf(built_.inbox));
    Select(built_.archiveB);  // queued and applied while the first is held
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    wake.notify_all();
    ASSERT_TRUE(QTest::qWaitFor([&] { return discarded.count() == 1; }, 20000));
    EXPECT_EQ(discarded.at(0).at(0).toUInt(), built_.inbox);
    EXPECT_EQ(Column(1), QStringList{"In second archive"});
}

TEST_F(BuiltScreen, PreviewsEachBodyKindFromTheClickedRowAndNothingLeavesTheCacheFolder) {
    RepairRecover& screen = OpenScreen(built_.file);
    WaitForEnd();
    const std::filesystem::path page = CacheFolder() / std::string(kPreviewPageName);
    // A read-only page left from an earlier run is replaced.
    EnsureFolder(CacheFolder());
    {
        QFile stale(QString::fromStdString(page.string()));
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
        stale.write("stale");
    }
    std::filesystem::permissions(page, std::filesystem::perms::owner_read);
    auto pageText = [&page] {
        QFile in(QString::fromStdString(page.string()));
        EXPECT_TRUE(in.open(QIODevice::ReadOnly));
        return in.readAll().toStdString();
    };

    Select(built_.inbox);
    ASSERT_EQ(Column(1), (QStringList{"Html with image", "Rtf only", "Text only"}));
    Preview(0);
    std::string html = pageText();
    EXPECT_EQ(html.rfind(kUtf8Bom, 0), 0u);
    EXPECT_NE(html.find("src=\"cid-1.png\""), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(CacheFolder() / "cid-1.png"));
    EXPECT_EQ(screen.ui().fromValue->text(), "Ann Lee");
    EXPECT_EQ(screen.ui().subjectValue->text(), "Html with image");
    // The remote image never loads: local pages reach no remote address, and the guard
    // would stop it if one did.
    EXPECT_TRUE(screen.guard().Requested().filter("remote.example").isEmpty());
    EXPECT_FALSE(screen.guard().Allowed(QUrl("http://remote.example/track.png")));

    Preview(1);
    EXPECT_EQ(screen.ui().subjectValue->text(), "Rtf only");
    EXPECT_FALSE(std::filesystem::exists(CacheFolder() / "cid-1.png"));
    EXPECT_NE(pageText().find("<p>Hello from RTF</p>"), std::string::npos);

    Preview(2);
    EXPECT_NE(pageText().find("Plain &lt;text&gt; &amp; more"), std::string::npos);
    EXPECT_EQ(screen.ui().fromValue->text(), "Cy Poe");
    // Ctrl+A reaches the preview, which selects its text; a right click shows no menu.
    QWebEngineView* preview = screen.ui().preview;
    QWidget* surface = preview->focusProxy() ? preview->focusProxy() : preview;
    QTest::keyClick(surface, Qt::Key_A, Qt::ControlModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return preview->page()->hasSelection(); }, 10000));
    EXPECT_TRUE(preview->selectedText().contains("Plain <text> & more"));
    QTest::mouseClick(surface, Qt::RightButton);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);

    // A contact row previews the contact, not the mail at its position.
    Select(built_.contacts);
    Preview(0);
    const std::string contact = pageText();
    EXPECT_NE(contact.find("dee@example.com"), std::string::npos);
    EXPECT_EQ(contact.find("Html with image"), std::string::npos);
    EXPECT_EQ(screen.ui().subjectValue->text(), "Fox, Dee");

    // Every request that went out was a status page or the preview's own file.
    for (const QString& url : screen.guard().Requested()) {
        if (screen.guard().Blocked().contains(url)) continue;
        EXPECT_TRUE(screen.guard().Allowed(QUrl(url))) << url.toStdString();
        EXPECT_TRUE(QUrl(url).isLocalFile()) << url.toStdString();
    }
    EXPECT_FALSE(screen.guard().Allowed(QUrl::fromLocalFile("/etc/passwd")));
    EXPECT_FALSE(screen.guard().Allowed(
        QUrl::fromLocalFile(QString::fromStdString((CacheFolder() / "temp.rtf").string()))));
}

TEST_F(BuiltScreen, AChangedSourceShowsAClearMessageNeverStaleContent) {
    const std::filesystem::path copy = folder_ / "changing.pst";
    std::filesystem::copy_file(built_.file, copy,
                               std::filesystem::copy_options::overwrite_existing);
    OpenScreen(copy);
    WaitForEnd();
    Select(built_.inbox);
    {
        std::ofstream grow(copy, std::ios::app | std::ios::binary);
        grow << "more";
    }
    Preview(2);
    QFile in(QString::fromStdString((CacheFolder() / std::string(kPreviewPageName)).string()));
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(in.readAll());
    EXPECT_TRUE(text.contains("has changed since it was analysed"));
    EXPECT_FALSE(text.contains("Plain"));
}

TEST_F(BuiltScreen, PauseThenStopEndsTheHeldWorkerAndKeepsWhatItFound) {
    HoldingObserver& holding = Holding(3);
    RepairRecover& screen = OpenScreen(built_.file, &holding);
    ASSERT_TRUE(QTest::qWaitFor([&] { return holding.Held(); }, 20000));
    QTest::mouseClick(screen.ui().pauseButton, Qt::LeftButton);
    EXPECT_EQ(screen.ui().pauseButton->text(), "Resume");
    EXPECT_TRUE(screen.engine().Paused());
    holding.Release();

    QSignalSpy finished(&screen, &RepairRecover::analysisFinished);
    QSignalSpy navigated(&screen, &RepairRecover::previewNavigated);
    prompts_.answers = {false, true};
    screen.Stop();  // No: nothing happens
    EXPECT_TRUE(screen.engine().Running());
    screen.Stop();
    EXPECT_EQ(prompts_.asked, (std::vector<QString>{QString::fromUtf8(kStopQuestion.data()),
                                                    QString::fromUtf8(kStopQuestion.data())}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 20000));
    EXPECT_EQ(finished.at(0).at(0).toInt(), static_cast<int>(AnalysisStatus::Stopped));
    EXPECT_TRUE(navigated.last().at(0).toString().endsWith("/Abort.html"));
    EXPECT_TRUE(screen.ui().saveButton->isHidden());
    EXPECT_TRUE(screen.ui().progressBar->isHidden());
    // The folders before the held one stay; the walk went no further.
    const int shown = screen.ui().folderTree->topLevelItem(0)->childCount();
    EXPECT_GE(shown, 1);
    EXPECT_LT(shown, 10);

    QTest::mouseClick(screen.ui().pauseButton, Qt::LeftButton);
    QTest::mouseClick(screen.ui().pauseButton, Qt::LeftButton);
    EXPECT_EQ(screen.ui().pauseButton->text(), "Resume");
}

TEST_F(BuiltScreen, BackAndExitAskFirstAndEndWithTheWorkerJoined) {
    HoldingObserver& holding = Holding(2);
    RepairRecover& screen = OpenScreen(built_.file, &holding);
    ASSERT_TRUE(QTest::qWaitFor([&] { return holding.Held(); }, 20000));
    prompts_.answers = {false};
    screen.Back();
    EXPECT_TRUE(endCodes_.empty());
    EXPECT_EQ(prompts_.asked.back(), "Do you want to Go Back ?");
    std::ifstream log(LogFilePath(LogKind::Activity));
    const std::string logged((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(logged.find("\r\nStep2:\r\nSelect E-mails Folder to Save"), std::string::npos);

    // Yes stops and joins the worker (held, then let go) before the program ends.
    prompts_.answers = {true};
    holding.Release();
    screen.Back();
    EXPECT_FALSE(screen.engine().Running());
    EXPECT_EQ(endCodes_, std::vector<int>{0});

    // Exit: ignored while another question is up; No gives the focus step back to Exit.
    App().dialogBusy = true;
    const size_t asked = prompts_.asked.size();
    screen.Exit();
    EXPECT_EQ(prompts_.asked.size(), asked);
    App().dialogBusy = false;
    prompts_.answers = {false, true};
    screen.Exit();
    EXPECT_EQ(prompts_.asked.back(), "Do you want to exit ?");
    EXPECT_EQ(screen.focusStep(), 7);
    EXPECT_TRUE(screen.ui().backButton->isEnabled());
    EXPECT_FALSE(App().dialogBusy);
    screen.close();  // the window's close asks the same; Yes ends with 0
    EXPECT_EQ(endCodes_, (std::vector<int>{0, 0}));
    EXPECT_TRUE(screen.isVisible());  // the program's end, not the screen's, closes it
}

TEST_F(BuiltScreen, KeyboardStepsFollowTabAndEnterAndEscapeClosesNothing) {
    RepairRecover& screen = OpenScreen(built_.file);
    WaitForEnd();
    ASSERT_FALSE(screen.ui().viewReportButton->isEnabled());  // no "RPTFile"
    // Enter right after opening starts the source selection.
    QTest::keyClick(screen.ui().folderTree, Qt::Key_Return);
    EXPECT_EQ(prompts_.pstPicks, 1);
    QWidget* focus = screen.ui().folderTree;
    focus->setFocus();
    std::vector<int> steps;
    for (int i = 0; i < 8; ++i) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : focus,
                        Qt::Key_Tab);
        steps.push_back(screen.focusStep());
    }
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 6, 7, 0, 1}));

    // Enter at step 1 opens the destination picker; its folder is kept for Save.
    prompts_.pickedDestination = "/tmp/out";
    QTest::keyClick(screen.ui().itemList, Qt::Key_Return);
    EXPECT_EQ(prompts_.destinationPicks, 1);
    EXPECT_EQ(screen.destinationFolder(), "/tmp/out/");
    prompts_.pickedDestination = QString();
    screen.DestinationSelection();
    EXPECT_EQ(prompts_.informed.back(), "Please select the valid path");

    QTest::keyClick(screen.ui().itemList, Qt::Key_Escape);
    EXPECT_TRUE(screen.isVisible());
    EXPECT_TRUE(endCodes_.empty());

    // With a report file View Report is enabled and Tab stops on it.
    const std::filesystem::path report = folder_ / "report.txt";
    std::ofstream(report) << "report";
    WriteSetting(kReportFileValue, report.string());
    RepairRecover second(built_.file.string(), &prompts_);
    second.hooks().endProgram = [](int) {};
    second.Open();
    EXPECT_TRUE(second.ui().viewReportButton->isEnabled());
    WriteSetting(kReportFileValue, "");
    // The report opens read-only in the program's own viewer.
    ReportViewer viewer(QString::fromStdString(report.string()));
    EXPECT_EQ(viewer.Text(), "report");
    EXPECT_TRUE(viewer.findChild<QPlainTextEdit*>()->isReadOnly());
}

TEST_F(BuiltScreen, AFileThatDoesNotOpenShowsTheEnginesMessageAndTheScreenStaysUsable) {
    RepairRecover& screen = OpenScreen(folder_ / "missing.pst");
    WaitForEnd();
    ASSERT_EQ(prompts_.informed.size(), 1u);
    EXPECT_EQ(prompts_.informed[0], QString::fromUtf8(kMsgFileInUse.data()));
    EXPECT_TRUE(prompts_.details[0].contains("No such file"));
    EXPECT_TRUE(screen.ui().backButton->isEnabled());
    prompts_.answers = {true};
    screen.Exit();
    EXPECT_EQ(endCodes_, std::vector<int>{0});
}

}  // namespace
}  // namespace kestrel::test

// The wizard around the recovery screen: the first screen, the search screen, the saving
// screens driven by a fake writer, a whole save of a built mailbox, the Log menu and help.
// Screenshots go to $KESTREL_SCREENSHOT_DIR when it is set.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "engine/file_finder.h"
#include "frontend/change_log_path.h"
#include "frontend/disk_selection.h"
#include "frontend/help_window.h"
#include "frontend/save_action.h"
#include "frontend/save_dialog.h"
#include "frontend/saving_status.h"
#include "frontend/search_screen.h"
#include "platform/activity_log.h"
#include "platform/settings.h"
#include "screen_fixture.h"
#include "support/mailbox_builder.h"
#include "ui_change_log_path.h"
#include "ui_disk_selection.h"
#include "ui_saving_status.h"
#include "ui_settings.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

std::string ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Wizard : public ScreenTest {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestrel-wizard-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        MailboxBuilder box(PstVariant::Unicode);
        inbox_ = box.Folder("Inbox");
        box.AddMessage(inbox_, MakeMail("First", "Ann Lee", "ann@example.com", "one"));
        box.AddMessage(inbox_, MakeMail("Second", "Bob Roe", "bob@example.com", "two"));
        const uint32_t archive = box.AddFolder(box.TopOfPersonalFolders(), "Archive");
        box.AddMessage(archive, MakeMail("Old", "Cy Poe", "cy@example.com", "three"));
        fs::create_directories(root_ / "mail");
        pst_ = root_ / "mail" / "Outlook.pst";
        box.WriteTo(pst_);
        App().chosenPstPath.clear();
        App().destinationFolder.clear();
    }
    void TearDown() override {
        ScreenTest::TearDown();
        std::error_code ec;
        fs::remove_all(root_, ec);
        WriteSetting(kLogPathValue, "");
        WriteSetting(kReportFileValue, "");
        App().chosenPstPath.clear();
    }

    fs::path root_, pst_;
    uint32_t inbox_ = 0;
};

TEST_F(Wizard, FirstScreenKeepsThePathShowsItUpperCasedAndHandsOnItsOptions) {
    DiskSelection first(&prompts_);
    first.hooks().endProgram = [this](int code) { endCodes_.push_back(code); };
    first.resize(760, 470);
    first.show();
    EXPECT_TRUE(first.ui().modePanel->isHidden());
    EXPECT_EQ(first.stepImage(), "Step1.svg");

    const QString path = QString::fromStdString(pst_.string());
    prompts_.pickedPst = path;
    first.ChooseSource();
    EXPECT_EQ(first.sourcePath(), path);
    EXPECT_EQ(first.ui().sourceField->text(), path.toUpper());
    const QString destination = QString::fromStdString((root_ / "mail").string()) + "/Repair";
    EXPECT_EQ(first.destination(), destination);
    EXPECT_EQ(first.ui().destinationField->text(), destination);
    const std::string log = ReadWhole(LogFilePath(LogKind::Activity));
    EXPECT_NE(log.find("\r\n" + path.toUpper().toStdString()), std::string::npos);
    EXPECT_NE(log.find("Select Destination Path:\r\n" + destination.toStdString()),
              std::string::npos);
    first.ui().restoreDeleted->setChecked(true);
    first.ui().deepScan->setChecked(true);
    Shot(first, "first-screen.png");

    // No dot: refused, but kept; a missing file stops Next.
    const QString noDot = QString::fromStdString((root_ / "mail" / "Outlook").string());
    first.SetSource(noDot);
    EXPECT_EQ(prompts_.informed.back(), "Invalid PST file path");
    EXPECT_EQ(first.sourcePath(), noDot);
    first.Next();
    EXPECT_EQ(prompts_.informed.back(), "Source path doesn't exist");
    EXPECT_EQ(first.recoveryScreen(), nullptr);

    // Tab walks the steps (View Report, disabled, is skipped) with their pictures.
    WriteSetting(kReportFileValue, "");
    std::vector<std::pair<int, QString>> steps;
    for (int i = 0; i < 4; ++i) {
        QTest::keyClick(&first, Qt::Key_Tab);
        steps.emplace_back(first.focusStep(), first.stepImage());
    }
    EXPECT_EQ(steps, (std::vector<std::pair<int, QString>>{
                         {2, "Step2.svg"}, {3, "Step3.svg"}, {5, "Step1.svg"}, {6, "Step1.svg"}}));
    prompts_.answers = {false};
    QTest::keyClick(&first, Qt::Key_Return);
    EXPECT_EQ(prompts_.asked.back(), "Do you want to exit ?");
    EXPECT_TRUE(endCodes_.empty());
    prompts_.asked.clear();

    // A second exit request while one is up is ignored.
    App().dialogBusy = true;
    first.Exit();
    EXPECT_TRUE(prompts_.asked.empty());
    App().dialogBusy = false;

    first.SetSource(path);
    first.Next();
    RepairRecover* recovery = first.recoveryScreen();
    ASSERT_NE(recovery, nullptr);
    EXPECT_TRUE(first.isHidden());
    const AnalysisOptions& options = recovery->analysisOptions();
    EXPECT_EQ(options.sourcePstPath, pst_.string());
    EXPECT_TRUE(options.restoreDeleted);
    EXPECT_EQ(options.deepScan, DeepScanMode::Always);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recovery->engine().Running(); }, 60000));
    EXPECT_EQ(recovery->engine().status(), AnalysisStatus::Completed);

    // Back leads to this screen again with what was chosen, not out of the program.
    prompts_.answers = {true};
    recovery->Back();
    ASSERT_TRUE(QTest::qWaitFor([&] { return first.recoveryScreen() == nullptr; }, 5000));
    EXPECT_TRUE(first.isVisible());
    EXPECT_EQ(first.sourcePath(), path);
    EXPECT_TRUE(endCodes_.empty());
}

TEST_F(Wizard, SearchListsTheTreeStopsOnRequestAndRepairsThePickedFile) {
    const fs::path tree = root_ / "tree";
    fs::create_directories(tree / "sub");
    fs::create_directories(tree / "x.pst");
    std::ofstream(tree / "Mail.PST") << std::string(10 * 1024 - 1, 'x');
    std::ofstream(tree / "sub" / "backup.pst.old") << std::string(10 * 1024, 'x');
    fs::create_directory_symlink(tree, tree / "sub" / "loop");

    Settings search(&prompts_);
    search.resize(860, 520);
    search.show();
    search.Search();
    EXPECT_EQ(prompts_.informed.back(), "Please Select search path  ? ");

    prompts_.pickedFolder = QString::fromStdString(tree.string());
    search.Browse();
    EXPECT_EQ(prompts_.pickTitles.back(), "Select Path for Searching Files");
    QSignalSpy finished(&search, &Settings::searchFinished);
    search.Search();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 20000));
    QTableWidget* list = search.ui().fileList;
    ASSERT_EQ(list->rowCount(), 3);
    EXPECT_EQ(search.ui().statusText->text(), "3 items found");
    EXPECT_EQ(list->item(0, 0)->text(), "backup.pst.old");
    EXPECT_EQ(list->item(0, 2)->text(), "10 KB");
    EXPECT_TRUE(search.ui().repairButton->isVisible());
    EXPECT_FALSE(search.ui().repairButton->isEnabled());
    Shot(search, "search-results.png");
    for (int r = 0; r < list->rowCount(); ++r) {
        if (list->item(r, 0)->text() == "Mail.PST") {
            EXPECT_EQ(list->item(r, 2)->text(), "10239 B");
            search.RowClicked(r);
        }
    }
    EXPECT_EQ(App().chosenPstPath, (tree / "Mail.PST").string());
    EXPECT_TRUE(search.ui().repairButton->isEnabled());

    // A search held at its first find: Search (reading "Stop") ends it there.
    std::atomic<bool> held{false}, release{false};
    search.hooks().gate = [&](CFileFinder&, int code) {
        if (code != CFileFinder::kFound) return;
        held = true;
        while (!release) std::this_thread::yield();
    };
    search.Search();
    EXPECT_EQ(search.ui().searchButton->text(), "Stop");
    ASSERT_TRUE(QTest::qWaitFor([&] { return held.load(); }, 20000));
    search.Search();
    release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 2; }, 20000));
    EXPECT_EQ(list->rowCount(), 1);
    EXPECT_EQ(search.ui().statusText->text(), "1 items found");
    EXPECT_EQ(search.ui().searchButton->text(), "Search");

    fs::remove(tree / "Mail.PST");
    search.Repair();
    EXPECT_EQ(prompts_.informed.back(), "Please Select the File First");
    EXPECT_FALSE(search.repairChosen());
}

TEST_F(Wizard, StatusScreenShowsPercentOrCreepsWithoutATotal) {
    SavingValues values;
    values.SavingFolderName = "Inbox";
    values.SavingMailCountText = "0";
    ListPSTFile status([&] { return values; }, {}, &prompts_, {1, 1, 1});
    QSignalSpy shown(&status, &ListPSTFile::progressShown);
    status.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown.count() >= 11; }, 5000));
    std::vector<int> creep;
    for (int i = 0; i < 11; ++i) creep.push_back(shown.at(i).at(0).toInt());
    EXPECT_EQ(creep, (std::vector<int>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 0}));

    values.SavingMailCountText = "3 of 8";
    values.SavingDone = 3;
    values.SavingTotal = 8;
    shown.clear();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !shown.isEmpty() && shown.last().at(0).toInt() == 37; }, 5000));
    EXPECT_EQ(status.ui().progressBar->value(), 37);
    EXPECT_TRUE(status.ui().okButton->isHidden());
    Shot(status, "saving-status.png");
    // 64-bit: SavingDone x 100 does not wrap.
    EXPECT_EQ(SavingPercent(uint64_t{1} << 40, uint64_t{1} << 41), 50);

    Last_Saving_Dialog done;
    EXPECT_FALSE(done.ViewLogTicked());
    done.show();
    Shot(done, "saving-completed.png");
}

TEST_F(Wizard, AFailedSaveShowsAnErrorBoxAndStopJoinsTheWriter) {
    RepairRecover& screen = OpenScreen(pst_);
    WaitForEnd();
    auto* save = new SaveAction(screen, prompts_);
    save->hooks().endProgram = [this](int code) { endCodes_.push_back(code); };
    save->hooks().intervals = {1, 1, 1};
    prompts_.saveChoice = SaveChoice{QString::fromStdString((root_ / "out").string())};

    save->hooks().writer = [](const ExportOptions&, RunControl&) {
        ExportSummary summary;
        summary.outcome = ExportOutcome::Failed;
        summary.failure = "No space left on device";
        summary.reportPath = "/somewhere/Recovery Report.txt";
        return summary;
    };
    save->Run();
    ASSERT_EQ(prompts_.failed.size(), 1u);
    EXPECT_NE(prompts_.failed[0].indexOf("No space left on device"), -1);
    EXPECT_NE(prompts_.failed[0].indexOf("Recovery Report.txt"), -1);
    EXPECT_EQ(prompts_.completions, 0);
    EXPECT_TRUE(endCodes_.empty());

    // Stop: asked under its own caption, the writer ended before the screen closed.
    std::atomic<bool> writerRunning{false};
    bool runningAtClose = true;
    save->hooks().writer = [&](const ExportOptions&, RunControl& control) {
        writerRunning = true;
        while (!control.TestPoint()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        writerRunning = false;
        ExportSummary summary;
        summary.outcome = ExportOutcome::Stopped;
        return summary;
    };
    QObject::connect(save, &SaveAction::statusShown, save, [&](ListPSTFile* status) {
        QObject::connect(status, &ListPSTFile::stopConfirmed, status,
                         [&] { runningAtClose = writerRunning; });
        QTimer::singleShot(20, status, [status] { status->Stop(); });
    });
    prompts_.answers = {true};
    save->Run();
    EXPECT_FALSE(runningAtClose);
    EXPECT_EQ(prompts_.asked.back(), "Do you want to stop this search ?");
    EXPECT_EQ(prompts_.captions.back(), "Kestrel for PST");
    EXPECT_TRUE(screen.ui().saveButton->isHidden());
    EXPECT_EQ(prompts_.failed.size(), 1u);
    EXPECT_EQ(prompts_.completions, 0);
}

TEST_F(Wizard, SavesTheTickedFolderOfABuiltMailbox) {
    RepairRecover& screen = OpenScreen(pst_);
    WaitForEnd();
    auto* save = new SaveAction(screen, prompts_);
    save->hooks().endProgram = [this](int code) { endCodes_.push_back(code); };
    screen.ui().folderTree->SetChecked(screen.ui().folderTree->ItemOf(inbox_), true);
    EXPECT_EQ(screen.ui().selectedFolders->text(), "1 Selected Folder(s)");
    const fs::path out = root_ / "out";
    prompts_.saveChoice = SaveChoice{QString::fromStdString(out.string())};
    prompts_.viewLogAtCompletion = true;
    ASSERT_TRUE(screen.ui().saveButton->isEnabled());
    screen.ui().saveButton->click();

    EXPECT_EQ(save->lastSummary().outcome, ExportOutcome::Completed);
    EXPECT_EQ(save->lastSummary().messagesWritten, 2u);
    int emls = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out))
        if (entry.path().extension() == ".eml") ++emls;
    EXPECT_EQ(emls, 2);
    EXPECT_EQ(ReadSetting(kReportFileValue), (out / "Recovery Report.txt").string());
    EXPECT_TRUE(screen.ui().viewReportButton->isEnabled());
    EXPECT_EQ(prompts_.completions, 1);
    ASSERT_FALSE(prompts_.shownFiles.empty());
    EXPECT_EQ(prompts_.shownFiles.back().toStdString(), LogFilePath(LogKind::Activity).string());
    EXPECT_EQ(endCodes_, std::vector<int>{0});
    const std::string log = ReadWhole(LogFilePath(LogKind::Recovery));
    EXPECT_NE(log.find("Saving started: " + out.string()), std::string::npos);
    EXPECT_NE(log.find("Saving ended: completed"), std::string::npos);

    SaveDialog dialog(QString::fromStdString(out.string()), &prompts_);
    dialog.show();
    Shot(dialog, "save-dialog.png");

    // The dialog offers the repaired PST first; saving one writes the file under its name.
    EXPECT_EQ(dialog.Choice().format, ExportFormat::Pst);
    const fs::path repaired = root_ / "repaired";
    prompts_.saveChoice = SaveChoice{QString::fromStdString(repaired.string()), ExportFormat::Pst};
    screen.ui().saveButton->click();
    EXPECT_EQ(save->lastSummary().outcome, ExportOutcome::Completed);
    EXPECT_TRUE(fs::is_regular_file(repaired / pst_.filename()));
}

TEST_F(Wizard, LogMenuActsOnTheProgramsLogAndChangePathChecksTheFolder) {
    DiskSelection first(&prompts_);
    AppendLogLine(LogKind::Activity, "entry");
    const fs::path log = LogFilePath(LogKind::Activity);
    first.ViewLog();
    EXPECT_EQ(prompts_.shownFiles.back().toStdString(), log.string());
    prompts_.answers = {false, true};
    first.ClearLog();
    EXPECT_EQ(prompts_.asked.back(), "Are you sure you want to clean log.");
    EXPECT_TRUE(fs::exists(log));
    first.ClearLog();
    EXPECT_FALSE(fs::exists(log));

    {
        ChangeLogPath dialog(&prompts_);
        dialog.ui().pathField->setText(QString::fromStdString((root_ / "missing").string()));
        dialog.Apply();
        EXPECT_EQ(prompts_.failed.back(), "Path Does't exists");
        EXPECT_EQ(prompts_.captions.back(), "Kestrel for PST");
        EXPECT_EQ(ReadSetting(kLogPathValue), "");
    }
    ChangeLogPath dialog(&prompts_);
    prompts_.pickedFolder = QString::fromStdString(root_.string());
    dialog.Browse();
    EXPECT_EQ(prompts_.pickTitles.back(), "Select Folder:");
    dialog.Apply();
    EXPECT_EQ(ReadSetting(kLogPathValue), root_.string());
    EXPECT_EQ(LogFilePath(LogKind::Activity), root_ / "Activity Log.txt");
    EXPECT_EQ(LogFilePath(LogKind::Recovery), root_ / "Recovery Log.txt");
}

TEST_F(Wizard, HelpOpensOneWindowHoweverOftenItIsAsked) {
    DiskSelection first(&prompts_);
    first.show();
    QTest::keyClick(&first, Qt::Key_F1);
    QTest::keyClick(&first, Qt::Key_F1);
    int windows = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && widget->windowTitle() == kHelpTitle) ++windows;
    EXPECT_EQ(windows, 1);
    ASSERT_NE(OpenHelpWindow(), nullptr);
    OpenHelpWindow()->close();
}

}  // namespace
}  // namespace kestrel::test

#pragma once
// The first screen (DiskSelection), the program's main window: the source PST file, the
// destination, the analysis options, Search (the search screen) and Next (the recovery
// screen); menus File, Log and Help. File > "Search Disk or Image..." shows the mode panel
// with the disk tree, which leads to the partition screen.
#include <QDialog>
#include <QStringList>
#include <functional>
#include <memory>

#include "engine/analysis.h"
#include "platform/disk_table.h"

namespace Ui {
class DiskSelection;
}
class QAction;
class QKeyEvent;
class QMenuBar;
class QTreeWidgetItem;

namespace kestrel {

class PartScreen;
class RepairRecover;
class SaveAction;
class ScreenPrompts;
class Settings;

// The seams tests use; the program leaves them as they are.
struct WizardHooks {
    // Ends the program with code (default: leaves the event loops with it).
    std::function<void(int code)> endProgram;
    // Runs the search screen (default: modally).
    std::function<void(Settings& screen)> runSearch;
    // The whole disks of the disk tree (default: ListDisks()).
    std::function<std::vector<DiskEntry>()> listDisks;
    // Runs the partition screen (default: modally).
    std::function<void(PartScreen& screen)> runPartitions;
};

class DiskSelection : public QDialog {
    Q_OBJECT
  public:
    explicit DiskSelection(ScreenPrompts* prompts = nullptr, QWidget* parent = nullptr);
    ~DiskSelection() override;

    Ui::DiskSelection& ui() { return *ui_; }
    WizardHooks& hooks() { return hooks_; }
    QMenuBar* menuBar() const { return menuBar_; }
    int focusStep() const { return focusStep_; }
    // The source as given and the destination as shown.
    const QString& sourcePath() const { return source_; }
    const QString& destination() const { return destination_; }
    // The step picture shown ("Step1.svg" ...).
    const QString& stepImage() const { return stepImage_; }
    // The recovery screen Next (or the search screen's Repair) opened; null before.
    RepairRecover* recoveryScreen() const { return recovery_.get(); }
    // The options the analysis gets from this screen.
    AnalysisOptions ChosenOptions() const;

    // The commands.
    void ChooseSource();
    // Steps 2-5 of choosing the source, for path as the open dialog gave it.
    void SetSource(const QString& path);
    void ChooseDestination();
    void Search();
    void Next();
    void ViewReport();
    void Help();
    void About();
    void Exit();
    void ViewLog();
    void ClearLog();
    void ChangeLogPath();
    // The mode panel.
    void ModeClicked(bool searchAndRecover);
    void ModeNext();
    // File > "Search Disk or Image...": shows the mode panel and fills the disk tree.
    void ShowDiskPanel();
    void DiskClicked(QTreeWidgetItem* item);
    // The disk tree's "Disk image..." item: an image file joins the tree, picked.
    void ChooseDiskImage();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Escape does nothing here.
    void reject() override {}

  private:
    void BuildMenus();
    void ShowStep(int step);
    void AskExit(bool fromClose);
    void OpenRecovery(const std::string& path);
    bool HandleKey(QKeyEvent* key);
    void EndProgram(int code);
    void UpdateViewReport();
    void FillDiskTree();
    void OpenPartitions();

    std::unique_ptr<Ui::DiskSelection> ui_;
    std::unique_ptr<ScreenPrompts> ownPrompts_;
    ScreenPrompts* prompts_;
    QMenuBar* menuBar_ = nullptr;
    WizardHooks hooks_;
    QString source_;
    QString destination_;
    QString stepImage_;
    int focusStep_ = 1;
    const QKeyEvent* lastKey_ = nullptr;
    std::unique_ptr<RepairRecover> recovery_;
    // Image files picked in this run, kept in the tree when it is filled again.
    QStringList images_;
};

}  // namespace kestrel

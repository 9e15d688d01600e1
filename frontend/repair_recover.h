#pragma once
// The repair and recovery screen: runs the analysis of one file and shows what it finds
// (folder tree, summary counters, progress), lists the items of the selected folder and
// previews the clicked one. A thin class: the engine does the work, the item layer builds
// the preview page.
#include <QDialog>
#include <QHash>
#include <QPointer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/analysis.h"
#include "engine/result_views.h"

namespace Ui {
class RepairRecover;
}
class QKeyEvent;
class QLabel;
class QWebEngineProfile;

namespace kestrel {

class PreviewGuard;
class ScreenObserver;
class ScreenPrompts;

// The seams tests use; the program leaves them as they are.
struct ScreenHooks {
    // Runs on a fill's own thread before it reads the results.
    std::function<void(uint32_t folderNid)> beforeFill;
    // Ends the program with code (default: leaves the event loop with it).
    std::function<void(int code)> endProgram;
    // Shows the first screen again after Back (unset: Back ends the program).
    std::function<void()> backToFirstScreen;
};

class RepairRecover : public QDialog {
    Q_OBJECT
  public:
    // The roles of an item-list row's first cell.
    static constexpr int kNidRole = Qt::UserRole;
    static constexpr int kBidRole = Qt::UserRole + 1;
    static constexpr int kIconRole = Qt::UserRole + 2;

    // observer (null: one of the screen's own) must outlive the screen; prompts likewise.
    RepairRecover(std::string pstPath, ScreenPrompts* prompts = nullptr,
                  ScreenObserver* observer = nullptr, QWidget* parent = nullptr);
    ~RepairRecover() override;

    // The opening steps, ending with the analysis started and "progress.html" shown.
    void Open();
    // The first screen's options for the analysis Open starts (its paths are the screen's).
    void SetAnalysisOptions(const AnalysisOptions& options) { baseOptions_ = options; }
    // The options of the analysis Open started.
    const AnalysisOptions& analysisOptions() const { return startedOptions_; }

    Ui::RepairRecover& ui() { return *ui_; }
    AnalysisEngine& engine() { return engine_; }
    PreviewGuard& guard() { return *guard_; }
    ScreenHooks& hooks() { return hooks_; }
    int focusStep() const { return focusStep_; }
    const QString& destinationFolder() const { return destination_; }
    ResultViewKind shownView() const { return shownView_; }
    // The value field of a summary counter (a kCounter* label); null for another text.
    QLabel* CounterField(const QString& counter) const { return counters_.value(counter); }

    // The buttons' actions, as their clicks and the keyboard run them.
    void Pause();
    void Stop();
    void Back();
    void Exit();
    void ViewReport();
    void SourceSelection();
    void DestinationSelection();
    void HiddenBack();
    // Shows the item of list row row in the preview, with its labels.
    void ShowMessagePreview(int row);

  signals:
    // A fill reached the list (after keepPrevious too).
    void viewApplied(uint32_t folderNid);
    // A fill that a newer selection overtook ended without touching the list.
    void fillDiscarded(uint32_t folderNid);
    // The preview was asked to show file (a status page or the message page).
    void previewNavigated(QString file);
    void helpRequested();
    void saveRequested();
    // The worker's last call arrived.
    void analysisFinished(int status);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Escape never closes this screen: its ends are Back, the hidden Back and Exit.
    void reject() override {}

  private:
    void SetUpPreview();
    void SetUpCounters();
    void Connect();
    void SetMailColumns();
    void StartFill(uint32_t folderNid);
    void ApplyView(const ResultView& view, uint64_t generation);
    void Navigate(const QString& file);
    void ShowPage(const QString& page);
    void ShowEngineMessage(const QString& text);
    void AskExit(bool fromButton);
    void StopWorker();
    void EndProgram(int code);
    bool HandleKey(QObject* watched, QKeyEvent* key);
    bool InPreview(QObject* object) const;
    bool ReportExists() const;
    void ShowSelectedCount();

    std::unique_ptr<Ui::RepairRecover> ui_;
    std::string pstPath_;
    std::unique_ptr<ScreenPrompts> ownPrompts_;
    ScreenPrompts* prompts_;
    std::unique_ptr<ScreenObserver> ownObserver_;
    ScreenObserver* observer_;
    AnalysisEngine engine_;
    ScreenHooks hooks_;
    QWebEngineProfile* profile_ = nullptr;
    PreviewGuard* guard_ = nullptr;
    QHash<QString, QLabel*> counters_;
    int focusStep_ = 0;
    const QKeyEvent* lastKey_ = nullptr;
    QString destination_;
    AnalysisOptions baseOptions_;
    AnalysisOptions startedOptions_;
    ResultViewKind shownView_ = ResultViewKind::Mail;
    // The rows of the last mail view: what a click on a mail row previews.
    std::shared_ptr<const std::vector<ViewRow>> previewMessages_;

    struct Fill {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<Fill> fills_;
    std::shared_ptr<std::atomic<bool>> fillCancel_;
    uint64_t fillGeneration_ = 0;
};

}  // namespace kestrel

#pragma once
// The search screen (Settings): finds PST files under a folder, lists them with name,
// location, size and time, and leads to the recovery screen on the one picked. The search
// runs on a thread of its own; its finds reach the list through queued calls, and a second
// click on Search (then reading "Stop") ends it.
#include <QDialog>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "engine/file_finder.h"
#include "engine/pst_carver.h"

namespace Ui {
class Settings;
}
class QKeyEvent;

namespace kestrel {

class ScreenPrompts;

// The seams tests use; the program leaves them as they are.
struct SearchHooks {
    // Runs on the search thread at every callback of the finder, before the screen hears it.
    std::function<void(CFileFinder& finder, int code)> gate;
    // Ends the program with code (default: leaves the event loops with it).
    std::function<void(int code)> endProgram;
};

class Settings : public QDialog {
    Q_OBJECT
  public:
    explicit Settings(ScreenPrompts* prompts, QWidget* parent = nullptr);
    // Stops and joins a running search.
    ~Settings() override;

    Ui::Settings& ui() { return *ui_; }
    SearchHooks& hooks() { return hooks_; }
    bool searching() const { return searching_; }
    int focusStep() const { return focusStep_; }
    // Repair ended the screen with a file picked (App().chosenPstPath).
    bool repairChosen() const { return repairChosen_; }
    bool carving() const { return carving_; }
    // The last carve's report.
    const CarveReport& carveReport() const { return carveReport_; }

    // A disk or image and a range of it (512-byte sectors, end one past the last): the
    // screen then offers Carve, which copies the PST files found there into the
    // destination folder and lists them like found files.
    void SetCarveSource(const QString& device, uint64_t start, uint64_t end);

    void Browse();
    // Starts a search, or stops the running one.
    void Search();
    // Starts carving the range, or stops the running carve.
    void Carve();
    void RowClicked(int row);
    void Repair();
    void Cancel();
    void ViewReport();
    void Exit();

  signals:
    void searchFinished(int found);
    void carveFinished(int carved);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Escape does not close the screen.
    void reject() override {}

  private:
    void AddRow(const QStringList& cells, int found, const QString& folder);
    void ShowProgress(int found, const QString& folder);
    void SearchEnded();
    void JoinSearch();
    void CarveEnded(const CarveReport& report);
    void StopCarve();
    bool HandleKey(QKeyEvent* key);
    void EndProgram(int code);

    std::unique_ptr<Ui::Settings> ui_;
    ScreenPrompts* prompts_;
    SearchHooks hooks_;
    CFileFinder finder_;
    std::thread thread_;
    bool searching_ = false;
    bool repairChosen_ = false;
    QString carveDevice_;
    uint64_t carveStart_ = 0;
    uint64_t carveEnd_ = 0;
    std::thread carveThread_;
    std::atomic<bool> carveStop_{false};
    bool carving_ = false;
    CarveReport carveReport_;
    int focusStep_ = 0;
    const QKeyEvent* lastKey_ = nullptr;
};

}  // namespace kestrel

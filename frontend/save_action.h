#pragma once
// The recovery screen's Save: asks where and in which form, runs the writer on a thread of
// its own with the status screen up, and ends with the completion screen or an error box.
#include <QObject>
#include <functional>

#include "engine/export_run.h"
#include "frontend/saving_status.h"

namespace kestrel {

class RepairRecover;
class ScreenPrompts;

// The seams tests use; the program leaves them as they are.
struct SaveHooks {
    // The writer (default: RunExport over the screen's results and item source).
    std::function<ExportSummary(const ExportOptions&, RunControl&)> writer;
    // What the status screen polls (default: ReadSavingValues).
    std::function<SavingValues()> reader;
    SavingIntervals intervals;
    // Ends the program with code (default: leaves the event loops with it).
    std::function<void(int code)> endProgram;
};

class SaveAction : public QObject {
    Q_OBJECT
  public:
    // firstDestination: the destination chosen on the first screen (empty: the screen's).
    SaveAction(RepairRecover& screen, ScreenPrompts& prompts, QString firstDestination = {});
    ~SaveAction() override;

    SaveHooks& hooks() { return hooks_; }
    // The Save click: returns when the status screen has closed.
    void Run();
    const ExportSummary& lastSummary() const { return summary_; }
    // The NIDs of the ticked folders; empty when none is ticked (then all are saved).
    std::vector<uint32_t> CheckedFolders() const;

  signals:
    // The status screen is up (tests drive it from here).
    void statusShown(ListPSTFile* status);
    // The save ended (after its box, before a completion ends the program).
    void saveEnded(int outcome);

  private:
    ExportSummary DefaultWriter(const ExportOptions& options, RunControl& control);
    void Finish(const ExportSummary& summary, bool stoppedByUser);
    void EndProgram(int code);

    RepairRecover& screen_;
    ScreenPrompts& prompts_;
    QString firstDestination_;
    SaveHooks hooks_;
    ExportSummary summary_;
};

}  // namespace kestrel

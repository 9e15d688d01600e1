#pragma once
// The partition screen (PartScreen): the partitions of the disk or image picked on the
// first screen, the details of the one clicked, and the sector range to work on. Next
// checks the range and opens the search screen with it, where the range can be carved;
// Back returns to the first screen.
#include <QDialog>
#include <functional>
#include <memory>
#include <optional>

#include "engine/partition_table.h"

namespace Ui {
class PartScreen;
}
class QKeyEvent;
class QTreeWidgetItem;

namespace kestrel {

class ScreenPrompts;
class Settings;

// The seams tests use; the program leaves them as they are.
struct PartScreenHooks {
    // Ends the program with code (default: leaves the event loops with it).
    std::function<void(int code)> endProgram;
    // Runs the search screen (default: modally).
    std::function<void(Settings& screen)> runSearch;
};

// A sector field's text read as a signed number: the value, or why it is none.
struct SectorField {
    enum class State { Number, Negative, NotANumber } state = State::NotANumber;
    int64_t value = 0;
};
SectorField ReadSectorField(const QString& text);

class PartScreen : public QDialog {
    Q_OBJECT
  public:
    explicit PartScreen(ScreenPrompts* prompts, QWidget* parent = nullptr);
    ~PartScreen() override;

    Ui::PartScreen& ui() { return *ui_; }
    PartScreenHooks& hooks() { return hooks_; }
    const DiskPartitionTable& table() const { return table_; }
    int focusStep() const { return focusStep_; }
    // The search screen's Repair ended it with a file picked (App().chosenPstPath).
    bool repairChosen() const { return repairChosen_; }

    // Reads the partitions of App().selectedDiskSource and fills the screen.
    void Open();
    // Selects the partition at position and shows its details.
    void ShowDetails(uint32_t position);
    void PartitionClicked(QTreeWidgetItem* item);
    void Next();
    void Back();
    void ViewReport();
    void Exit();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Escape does not close the screen.
    void reject() override {}

  private:
    void ApplyTexts();
    void ValidateField(bool start);
    void SetField(bool start, int64_t value);
    bool AskExit();
    bool HandleKey(QKeyEvent* key);
    void EndProgram(int code);
    void UpdateViewReport();

    std::unique_ptr<Ui::PartScreen> ui_;
    ScreenPrompts* prompts_;
    PartScreenHooks hooks_;
    DiskPartitionTable table_;
    uint64_t deviceSectors_ = 0;
    int focusStep_ = 0;
    bool repairChosen_ = false;
    const QKeyEvent* lastKey_ = nullptr;
};

}  // namespace kestrel

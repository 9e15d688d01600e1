#pragma once
// The two small screens of a save: ListPSTFile follows the writer (folder, mail count, a
// progress bar) and lets the user stop it; Last_Saving_Dialog says the save is complete.
#include <QDialog>
#include <QTimer>
#include <functional>
#include <memory>

#include "engine/export_run.h"

namespace Ui {
class ListPSTFile;
class Last_Saving_Dialog;
}  // namespace Ui

namespace kestrel {

class ScreenPrompts;

// The status screen's timer: the first tick, then with a total, then creeping without one.
struct SavingIntervals {
    int firstMs = 100;
    int percentMs = 200;
    int creepMs = 2000;
};

// percent of done out of total, in 64 bits and at most 100; 0 without a total.
int SavingPercent(uint64_t done, uint64_t total);

inline constexpr char kSaveStopCaption[] = "Kestrel for PST";

class ListPSTFile : public QDialog {
    Q_OBJECT
  public:
    using Reader = std::function<SavingValues()>;
    // reader polls the writer's values; stopWriter asks the writer to stop and waits for it.
    ListPSTFile(Reader reader, std::function<void()> stopWriter, ScreenPrompts* prompts,
                SavingIntervals intervals = {}, QWidget* parent = nullptr);
    ~ListPSTFile() override;

    Ui::ListPSTFile& ui() { return *ui_; }
    int savingProgress() const { return savingProgress_; }
    bool stoppedByUser() const { return stopped_; }

    // The writer's end (on this screen's thread): a complete save runs the OK command, then
    // the screen closes; any other end just closes it.
    void WriterEnded(bool completed);
    // The Stop button: asks, then stops and joins the writer before the screen closes.
    void Stop();
    // The hidden OK button's command: the completion screen.
    void OkCommand();

  signals:
    // The bar was set at a tick.
    void progressShown(int percent);
    // The completion screen's OK; viewLog when "View Log File" was ticked.
    void completionAcknowledged(bool viewLog);
    // Stop was answered Yes and the writer has ended.
    void stopConfirmed();

  protected:
    // Escape does not close the screen: the writer or Stop does.
    void reject() override {}

  private:
    void Tick();

    std::unique_ptr<Ui::ListPSTFile> ui_;
    Reader reader_;
    std::function<void()> stopWriter_;
    ScreenPrompts* prompts_;
    SavingIntervals intervals_;
    QTimer timer_;
    int savingProgress_ = 0;
    bool ended_ = false;
    bool stopped_ = false;
};

class Last_Saving_Dialog : public QDialog {
    Q_OBJECT
  public:
    explicit Last_Saving_Dialog(QWidget* parent = nullptr);
    ~Last_Saving_Dialog() override;
    Ui::Last_Saving_Dialog& ui() { return *ui_; }
    bool ViewLogTicked() const;

  private:
    std::unique_ptr<Ui::Last_Saving_Dialog> ui_;
};

}  // namespace kestrel

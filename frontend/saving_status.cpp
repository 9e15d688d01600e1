#include "frontend/saving_status.h"

#include <QPushButton>
#include <algorithm>

#include "frontend/screen_icons.h"
#include "frontend/screen_prompts.h"
#include "platform/settings.h"
#include "ui_last_saving.h"
#include "ui_saving_status.h"

namespace kestrel {

int SavingPercent(uint64_t done, uint64_t total) {
    if (total == 0) return 0;
    if (done >= total) return 100;
    // done * 100 would overflow 64 bits only past 1.8e17 units; the wide product never does.
    return static_cast<int>(static_cast<unsigned __int128>(done) * 100 / total);
}

ListPSTFile::ListPSTFile(Reader reader, std::function<void()> stopWriter, ScreenPrompts* prompts,
                         SavingIntervals intervals, QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::ListPSTFile>()),
      reader_(std::move(reader)),
      stopWriter_(std::move(stopWriter)),
      prompts_(prompts),
      intervals_(intervals) {
    ui_->setupUi(this);
    setWindowIcon(WindowIcon());
    setWindowTitle(
        QString::fromUtf8(kMessageCaption.data(), static_cast<qsizetype>(kMessageCaption.size())));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowFlag(Qt::WindowCloseButtonHint, false);
    ui_->progressBar->setRange(0, 100);
    ui_->okButton->hide();
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &ListPSTFile::Tick);
    connect(ui_->stopButton, &QPushButton::clicked, this, &ListPSTFile::Stop);
    connect(ui_->okButton, &QPushButton::clicked, this, &ListPSTFile::OkCommand);
    timer_.start(intervals_.firstMs);
}

ListPSTFile::~ListPSTFile() = default;

void ListPSTFile::Tick() {
    timer_.stop();
    const SavingValues values = reader_ ? reader_() : SavingValues{};
    ui_->folderValue->setText(QString::fromStdString(values.SavingFolderName));
    ui_->countValue->setText(QString::fromStdString(values.SavingMailCountText));
    if (values.SavingTotal != 0) {
        savingProgress_ = SavingPercent(values.SavingDone, values.SavingTotal);
        ui_->progressBar->setValue(savingProgress_);
        emit progressShown(savingProgress_);
        timer_.start(intervals_.percentMs);
        return;
    }
    // No total yet: the bar creeps a tenth at a time and starts again.
    ui_->progressBar->setValue(savingProgress_);
    emit progressShown(savingProgress_);
    savingProgress_ += 10;
    if (savingProgress_ >= 100) savingProgress_ = 0;
    timer_.start(intervals_.creepMs);
}

void ListPSTFile::WriterEnded(bool completed) {
    if (ended_) return;
    ended_ = true;
    timer_.stop();
    if (completed && !stopped_) {
        hide();
        OkCommand();
    }
    done(QDialog::Rejected);
}

void ListPSTFile::Stop() {
    if (ended_) return;
    if (!prompts_->AskAs(this, QString::fromLatin1(kSaveStopCaption),
                         QStringLiteral("Do you want to stop this search ?")))
        return;
    // The writer ends at its next test point; it is joined before the screen closes, so it
    // holds nothing once the screen is gone.
    stopped_ = true;
    ended_ = true;
    timer_.stop();
    if (stopWriter_) stopWriter_();
    emit stopConfirmed();
    done(QDialog::Accepted);
}

void ListPSTFile::OkCommand() {
    const bool viewLog = prompts_->ConfirmSaved(this);
    emit completionAcknowledged(viewLog);
}

Last_Saving_Dialog::Last_Saving_Dialog(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::Last_Saving_Dialog>()) {
    ui_->setupUi(this);
    setWindowIcon(WindowIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    ui_->viewLog->setChecked(false);
    connect(ui_->buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
}

Last_Saving_Dialog::~Last_Saving_Dialog() = default;

bool Last_Saving_Dialog::ViewLogTicked() const {
    return ui_->viewLog->isChecked();
}

}  // namespace kestrel

#include "frontend/screen_prompts.h"

#include <QFileDialog>
#include <QMessageBox>

#include "controls/folder_picker.h"
#include "frontend/report_viewer.h"
#include "frontend/save_dialog.h"
#include "frontend/saving_status.h"
#include "platform/settings.h"

namespace kestrel {

namespace {

QString Caption() {
    return QString::fromUtf8(kMessageCaption.data(),
                             static_cast<qsizetype>(kMessageCaption.size()));
}

}  // namespace

bool ScreenPrompts::Ask(QWidget* owner, const QString& question) {
    QMessageBox box(QMessageBox::Question, Caption(), question, QMessageBox::Yes | QMessageBox::No,
                    owner);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void ScreenPrompts::Inform(QWidget* owner, const QString& text, const QString& details) {
    QMessageBox box(QMessageBox::Information, Caption(), text, QMessageBox::Ok, owner);
    if (!details.isEmpty()) box.setDetailedText(details);
    box.exec();
}

std::optional<QString> ScreenPrompts::PickPstFile(QWidget* owner) {
    const QString chosen = QFileDialog::getOpenFileName(
        owner, Caption(), QString(), QStringLiteral("PST (*.pst);;All Files (*)"));
    if (chosen.isEmpty()) return std::nullopt;
    return chosen;
}

std::optional<QString> ScreenPrompts::PickDiskImage(QWidget* owner) {
    const QString chosen = QFileDialog::getOpenFileName(
        owner, QStringLiteral("Disk image"), QString(),
        QStringLiteral("Disk images (*.img *.dd *.raw *.bin *.iso *.001);;All Files (*)"));
    if (chosen.isEmpty()) return std::nullopt;
    return chosen;
}

std::optional<QString> ScreenPrompts::PickDestination(QWidget* owner, const QString& start) {
    return PickFolder(owner, QStringLiteral("Please select the Destination Path"), start);
}

bool ScreenPrompts::AskAs(QWidget* owner, const QString& caption, const QString& question) {
    QMessageBox box(QMessageBox::Question, caption, question, QMessageBox::Yes | QMessageBox::No,
                    owner);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void ScreenPrompts::Fail(QWidget* owner, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

std::optional<QString> ScreenPrompts::PickFolderTitled(QWidget* owner, const QString& title,
                                                       const QString& start) {
    return PickFolder(owner, title, start);
}

std::optional<SaveChoice> ScreenPrompts::ChooseSave(QWidget* owner, const QString& destination) {
    SaveDialog dialog(destination, this, owner);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Choice();
}

void ScreenPrompts::ShowText(QWidget* owner, const QString& file) {
    ReportViewer viewer(file, owner);
    viewer.exec();
}

bool ScreenPrompts::ConfirmSaved(QWidget* owner) {
    Last_Saving_Dialog dialog(owner);
    dialog.exec();
    return dialog.ViewLogTicked();
}

}  // namespace kestrel

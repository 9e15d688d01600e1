#include "frontend/screen_prompts.h"

#include <QFileDialog>
#include <QMessageBox>

#include "controls/folder_picker.h"
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
        owner, Caption(), QString(), QStringLiteral("PST (*.pst);;PST Files (*)"));
    if (chosen.isEmpty()) return std::nullopt;
    return chosen;
}

std::optional<QString> ScreenPrompts::PickDestination(QWidget* owner, const QString& start) {
    return PickFolder(owner, QStringLiteral("Please select the Destination Path"), start);
}

}  // namespace kestrel

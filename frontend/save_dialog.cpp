#include "frontend/save_dialog.h"

#include <QPushButton>

#include "frontend/screen_icons.h"
#include "platform/settings.h"
#include "ui_save_dialog.h"

namespace kestrel {

SaveDialog::SaveDialog(const QString& destination, ScreenPrompts* prompts, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::SaveDialog>()), prompts_(prompts) {
    ui_->setupUi(this);
    setWindowIcon(WindowIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowTitle(
        QStringLiteral("Save - ") +
        QString::fromUtf8(kMessageCaption.data(), static_cast<qsizetype>(kMessageCaption.size())));
    ui_->destinationField->setText(destination);
    auto enableSave = [this] {
        ui_->buttons->button(QDialogButtonBox::Save)
            ->setEnabled(!ui_->destinationField->text().trimmed().isEmpty());
    };
    enableSave();
    connect(ui_->destinationField, &QLineEdit::textChanged, this, enableSave);
    connect(ui_->buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(ui_->buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(ui_->destinationBrowse, &QPushButton::clicked, this, [this] {
        if (!prompts_) return;
        const auto picked = prompts_->PickDestination(this, ui_->destinationField->text());
        if (picked && !picked->isEmpty()) ui_->destinationField->setText(*picked);
    });
}

SaveDialog::~SaveDialog() = default;

SaveChoice SaveDialog::Choice() const {
    SaveChoice choice;
    choice.destination = ui_->destinationField->text().trimmed();
    choice.format = ui_->pstFormat->isChecked()    ? ExportFormat::Pst
                    : ui_->mboxFormat->isChecked() ? ExportFormat::Mbox
                                                   : ExportFormat::Eml;
    return choice;
}

}  // namespace kestrel

#include "frontend/change_log_path.h"

#include <QPushButton>
#include <filesystem>

#include "frontend/saving_status.h"
#include "frontend/screen_icons.h"
#include "frontend/screen_prompts.h"
#include "platform/settings.h"
#include "ui_change_log_path.h"

namespace kestrel {

ChangeLogPath::ChangeLogPath(ScreenPrompts* prompts, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::ChangeLogPath>()), prompts_(prompts) {
    ui_->setupUi(this);
    setWindowIcon(WindowIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    ui_->pathField->setText(QString::fromStdString(ReadSetting(kLogPathValue)));
    connect(ui_->browseButton, &QPushButton::clicked, this, &ChangeLogPath::Browse);
    connect(ui_->applyButton, &QPushButton::clicked, this, &ChangeLogPath::Apply);
    connect(ui_->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

ChangeLogPath::~ChangeLogPath() = default;

void ChangeLogPath::Browse() {
    const auto picked =
        prompts_->PickFolderTitled(this, QStringLiteral("Select Folder:"), ui_->pathField->text());
    if (picked && !picked->isEmpty()) ui_->pathField->setText(*picked);
}

void ChangeLogPath::Apply() {
    const std::string path = ui_->pathField->text().toStdString();
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_directory(path, ec)) {
        prompts_->Fail(this, QString::fromLatin1(kSaveStopCaption),
                       QStringLiteral("Path Does't exists"));
        reject();
        return;
    }
    WriteSetting(kLogPathValue, path);
    accept();
}

}  // namespace kestrel

#include "frontend/part_screen.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPixmap>
#include <filesystem>

#include "controls/folder_tree_ctrl.h"
#include "frontend/app_state.h"
#include "frontend/help_window.h"
#include "frontend/screen_icons.h"
#include "frontend/screen_prompts.h"
#include "frontend/search_screen.h"
#include "platform/activity_log.h"
#include "platform/raw_device.h"
#include "platform/settings.h"
#include "ui_part_screen.h"

namespace kestrel {

namespace {

QString Qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The translated text of number, else english.
QString UiText(int number, const char* english) {
    std::string text;
    const std::string file = App().languageFile.empty() ? LanguageFile() : App().languageFile;
    if (LookupUiText(number, text, LanguageFilePath(InstallFolder(), file)))
        return QString::fromStdString(text);
    return QString::fromUtf8(english);
}

bool ReportExists() {
    const std::string report = ReadSetting(kReportFileValue);
    std::error_code ec;
    return !report.empty() && std::filesystem::is_regular_file(report, ec);
}

constexpr int kPlainTreeClicks = 2;

}  // namespace

SectorField ReadSectorField(const QString& text) {
    SectorField field;
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok, 10);
    if (!ok) return field;
    field.value = value;
    field.state = value < 0 ? SectorField::State::Negative : SectorField::State::Number;
    return field;
}

PartScreen::PartScreen(ScreenPrompts* prompts, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::PartScreen>()), prompts_(prompts) {
    ui_->setupUi(this);
    setWindowTitle(QStringLiteral("Select Partition"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    ui_->stepPicture->setPixmap(
        QPixmap(QString::fromStdString((InstallFolder() / "Step4.svg").string())));
    ui_->hiddenNextButton->hide();
    ui_->hiddenBackButton->hide();
    ui_->tableNote->hide();

    connect(ui_->partitionTree, &CFolderTreeCtrl::partitionClicked, this,
            &PartScreen::PartitionClicked);
    connect(ui_->nextButton, &QPushButton::clicked, this, &PartScreen::Next);
    connect(ui_->hiddenNextButton, &QPushButton::clicked, this, &PartScreen::Next);
    connect(ui_->backButton, &QPushButton::clicked, this, &PartScreen::Back);
    connect(ui_->hiddenBackButton, &QPushButton::clicked, this, &PartScreen::Back);
    connect(ui_->startField, &QLineEdit::textChanged, this, [this] { ValidateField(true); });
    connect(ui_->endField, &QLineEdit::textChanged, this, [this] { ValidateField(false); });
    connect(ui_->viewReportButton, &QToolButton::clicked, this, &PartScreen::ViewReport);
    connect(ui_->helpButton, &QToolButton::clicked, this, [] { ShowHelp(); });
    connect(ui_->exitButton, &QToolButton::clicked, this, &PartScreen::Exit);
    qApp->installEventFilter(this);
}

PartScreen::~PartScreen() {
    qApp->removeEventFilter(this);
}

void PartScreen::ApplyTexts() {
    ui_->partitionGroup->setTitle(UiText(9, "Select Partition"));
    ui_->detailsGroup->setTitle(UiText(10, "Partition Details"));
    ui_->parametersGroup->setTitle(UiText(11, "Partition Parameters"));
    ui_->detailsList->setHeaderLabels(
        {UiText(12, "                                                     Partition Details")});
    ui_->detailsList->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ui_->detailsList->setColumnWidth(0, 418);
    ui_->startLabel->setText(UiText(13, "Start Sector"));
    ui_->endLabel->setText(UiText(14, "End Sector"));
    ui_->hiddenBackButton->setText(UiText(15, "&Back"));
    ui_->hiddenNextButton->setText(UiText(8, "Ne&xt"));
}

void PartScreen::Open() {
    // 1
    App().screenActive = true;
    ApplyTexts();
    CFolderTreeCtrl* tree = ui_->partitionTree;
    QTreeWidgetItem* root = tree->ResetRoot(QStringLiteral("My Computer"));
    const QString diskName = QString::fromStdString(App().selectedDiskName);
    const QString source = QString::fromStdString(App().selectedDiskSource);
    RawDevice device;
    std::string reason;
    table_ = {};
    deviceSectors_ = 0;
    const bool opened = device.Open(App().selectedDiskSource, &reason);
    if (opened) {
        table_ = ReadPartitionTable(device);
        deviceSectors_ = device.SectorCount();
    } else {
        table_.problems.push_back(App().selectedDiskSource + ": " + reason);
    }
    QTreeWidgetItem* disk = !opened || device.IsBlockDevice()
                                ? tree->AddDrive(root, diskName, CFolderTreeCtrl::DriveType::Fixed,
                                                 source, App().selectedDiskIndex)
                                : tree->AddImageFile(root, diskName, source);
    for (const PartitionRecord& record : table_.records)
        tree->AddPartition(disk, QString::fromStdString(record.label),
                           static_cast<int>(record.position));
    tree->expandAll();
    // What did not check out is said under the tree; what did is listed.
    QStringList problems;
    for (const std::string& problem : table_.problems) problems << QString::fromStdString(problem);
    if (table_.records.empty())
        problems << QStringLiteral("No partitions listed: the range covers the whole disk.");
    ui_->tableNote->setText(problems.join('\n'));
    ui_->tableNote->setVisible(!problems.isEmpty());
    // 2
    if (!table_.records.empty()) {
        ShowDetails(0);
    } else {
        // Without a table the whole disk is the range, so it can still be carved.
        ui_->detailsList->clear();
        SetField(true, 0);
        SetField(false, static_cast<int64_t>(std::min<uint64_t>(deviceSectors_, INT64_MAX)));
    }
    // 3
    ui_->viewReportButton->SetPicture(QStringLiteral(":/icons/view-report.svg"),
                                      QStringLiteral("View Report"));
    ui_->helpButton->SetPicture(QStringLiteral(":/icons/help.svg"), QStringLiteral("Help"));
    ui_->exitButton->SetPicture(QStringLiteral(":/icons/exit.svg"), QStringLiteral("Exit"));
    setWindowIcon(WindowIcon());
    // 4: the fields as shown are the last valid ones.
    App().lastValidStart = ReadSectorField(ui_->startField->text()).value;
    App().lastValidEnd = ReadSectorField(ui_->endField->text()).value;
    // 5-6
    UpdateViewReport();
    focusStep_ = 0;
    App().childOpen = false;
    App().treeClickMode = CFolderTreeCtrl::kPartitionClicks;
    tree->SetClickMode(CFolderTreeCtrl::kPartitionClicks);
}

void PartScreen::UpdateViewReport() {
    ui_->viewReportButton->setEnabled(ReportExists());
}

void PartScreen::SetField(bool start, int64_t value) {
    (start ? ui_->startField : ui_->endField)->setText(QString::number(value));
}

void PartScreen::ShowDetails(uint32_t position) {
    if (position >= table_.records.size()) return;
    const PartitionRecord& record = table_.records[position];
    App().selectedPartitionPosition = position;
    App().partitionLabel = record.label;
    const QIcon icon = CFolderTreeCtrl::Picture(CFolderTreeCtrl::kPartitionImage);
    QTreeWidget* list = ui_->detailsList;
    list->clear();
    const QStringList rows{
        QStringLiteral("Disk Number : %1").arg(App().selectedDiskIndex),
        QStringLiteral("Partition Number : %1").arg(record.position + 1),
        QStringLiteral("Partition Type : ") + QString::fromStdString(record.fileSystem),
        QStringLiteral("Mode : ") + QString::fromStdString(App().modeName),
        QStringLiteral("Start Sector : %1").arg(record.start),
        QStringLiteral("End Sector : %1").arg(record.end)};
    for (const QString& row : rows) {
        auto* item = new QTreeWidgetItem(list, {row});
        item->setIcon(0, icon);
    }
    // A partition's sectors beyond what a signed 64-bit field holds do not exist on any
    // disk; the fields stay numbers all the same.
    const auto shown = [](uint64_t sector) {
        return static_cast<int64_t>(std::min<uint64_t>(sector, INT64_MAX));
    };
    SetField(true, shown(record.start));
    SetField(false, shown(record.end));
    // The fields now show another partition: a rejected edit goes back to them.
    App().lastValidStart = shown(record.start);
    App().lastValidEnd = shown(record.end);
    QTreeWidgetItem* root = ui_->partitionTree->root();
    QTreeWidgetItem* disk = root && root->childCount() > 0 ? root->child(0) : nullptr;
    for (int i = 0; disk && i < disk->childCount(); ++i) {
        if (disk->child(i)->data(0, CFolderTreeCtrl::kIndexRole).toUInt() == position)
            ui_->partitionTree->setCurrentItem(disk->child(i));
    }
}

void PartScreen::PartitionClicked(QTreeWidgetItem* item) {
    if (App().treeClickMode != CFolderTreeCtrl::kPartitionClicks || !item) return;
    const uint32_t position = item->data(0, CFolderTreeCtrl::kIndexRole).toUInt();
    if (position < table_.records.size()) ShowDetails(position);
}

void PartScreen::ValidateField(bool start) {
    QLineEdit* field = start ? ui_->startField : ui_->endField;
    const SectorField read = ReadSectorField(field->text());
    if (read.state == SectorField::State::Number) return;
    QString message;
    if (read.state == SectorField::State::Negative) {
        message =
            start ? QStringLiteral("Start sector should be greater than zero") + QString(20, ' ')
                  : QStringLiteral("End sector should be greater than zero") + QString(34, ' ');
    } else {
        message = start ? QStringLiteral("Invalid start sector") + QString(41, ' ')
                        : QStringLiteral("Invalid end sector") + QString(55, ' ');
    }
    ui_->hiddenNextButton->setEnabled(false);
    ui_->hiddenBackButton->setEnabled(false);
    prompts_->Inform(this, message);
    SetField(start, start ? App().lastValidStart : App().lastValidEnd);
    ui_->hiddenNextButton->setEnabled(true);
    ui_->hiddenBackButton->setEnabled(true);
}

void PartScreen::Next() {
    // Tree clicks are plain while Next runs and the search screen is up; they come back
    // however Next ends.
    App().treeClickMode = kPlainTreeClicks;
    ui_->partitionTree->SetClickMode(kPlainTreeClicks);
    const auto restoreClicks = [this] {
        App().treeClickMode = CFolderTreeCtrl::kPartitionClicks;
        ui_->partitionTree->SetClickMode(CFolderTreeCtrl::kPartitionClicks);
    };
    const QString caption = Qs(kMessageCaption);
    // 1
    const SectorField start = ReadSectorField(ui_->startField->text());
    if (start.state == SectorField::State::Negative) {
        prompts_->Inform(this, QStringLiteral("Start sector should be greater than zero"));
        return restoreClicks();
    }
    if (start.state == SectorField::State::NotANumber) {
        prompts_->Fail(this, caption, QStringLiteral("Start sector is not valid"));
        return restoreClicks();
    }
    App().lastValidStart = start.value;
    App().rangeStart = static_cast<uint64_t>(start.value);
    // 2: the end field is one past the last sector; the range keeps the last sector.
    const SectorField end = ReadSectorField(ui_->endField->text());
    if (end.state == SectorField::State::Negative) {
        prompts_->Inform(this, QStringLiteral("End sector should be greater than zero"));
        return restoreClicks();
    }
    if (end.state == SectorField::State::NotANumber) {
        prompts_->Fail(this, caption, QStringLiteral("End sector is not valid"));
        return restoreClicks();
    }
    App().lastValidEnd = end.value;
    App().rangeEnd = end.value == 0 ? 0 : static_cast<uint64_t>(end.value) - 1;
    // 3: so the end field must be at least start + 2.
    if (!(App().rangeEnd > App().rangeStart)) {
        prompts_->Fail(this, caption,
                       QStringLiteral("End sector should be bigger than start sector"));
        return restoreClicks();
    }
    // 4
    App().rangeEndAsEntered = static_cast<uint64_t>(end.value);
    AppendLogLine(LogKind::Activity, kLogBlankLine);
    AppendLogLine(LogKind::Activity, "Select Sector Range:");
    AppendLogLine(LogKind::Activity, App().selectedDiskSource + " " +
                                         std::to_string(App().rangeStart) + " - " +
                                         std::to_string(App().rangeEndAsEntered));
    // 5
    Settings search(prompts_, this);
    search.SetCarveSource(QString::fromStdString(App().selectedDiskSource), App().rangeStart,
                          App().rangeEndAsEntered);
    search.resize(860, 520);
    hide();
    App().childOpen = true;
    if (hooks_.runSearch) {
        hooks_.runSearch(search);
    } else {
        search.exec();
    }
    App().childOpen = false;
    if (search.repairChosen()) {
        // The file picked there (a carved one, say) goes to the recovery screen.
        repairChosen_ = true;
        restoreClicks();
        App().treeClickMode = CFolderTreeCtrl::kDiskClicks;
        App().screenActive = false;
        done(QDialog::Accepted);
        return;
    }
    focusStep_ = 4;
    show();
    // 6
    UpdateViewReport();
    restoreClicks();
    ui_->nextButton->setFocus();
}

void PartScreen::Back() {
    App().treeClickMode = CFolderTreeCtrl::kDiskClicks;
    App().screenActive = false;
    done(QDialog::Rejected);
}

void PartScreen::ViewReport() {
    if (!isVisible()) return;
    const QString report = QString::fromStdString(ReadSetting(kReportFileValue));
    prompts_->ShowText(this, report);
    focusStep_ = 5;
    ui_->viewReportButton->setFocus();
}

bool PartScreen::AskExit() {
    App().dialogBusy = true;
    ui_->hiddenNextButton->setEnabled(false);
    ui_->hiddenBackButton->setEnabled(false);
    ui_->exitButton->setEnabled(false);
    const bool yes = prompts_->Ask(this, QStringLiteral("Do you want to exit ?"));
    ui_->hiddenNextButton->setEnabled(true);
    ui_->hiddenBackButton->setEnabled(true);
    ui_->exitButton->setEnabled(true);
    App().dialogBusy = false;
    return yes;
}

void PartScreen::Exit() {
    if (App().childOpen || App().dialogBusy) return;
    if (AskExit()) {
        EndProgram(0);
        return;
    }
    focusStep_ = 6;
    ui_->exitButton->setFocus();
}

void PartScreen::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (App().childOpen || App().dialogBusy) return;
    if (AskExit()) {
        EndProgram(0);
        return;
    }
    switch (focusStep_) {
        case 3:
            ui_->backButton->setFocus();
            break;
        case 4:
            ui_->nextButton->setFocus();
            break;
        case 5:
            ui_->viewReportButton->setFocus();
            break;
        case 6:
            ui_->helpButton->setFocus();
            break;
        case 7:
            ui_->exitButton->setFocus();
            break;
        default:
            break;
    }
}

void PartScreen::EndProgram(int code) {
    if (hooks_.endProgram) {
        hooks_.endProgram(code);
    } else {
        QCoreApplication::exit(code);
    }
}

bool PartScreen::eventFilter(QObject* watched, QEvent* event) {
    QKeyEvent* key = ScreenKeyToHandle(this, watched, event, lastKey_);
    return key ? HandleKey(key) : QDialog::eventFilter(watched, event);
}

bool PartScreen::HandleKey(QKeyEvent* key) {
    switch (key->key()) {
        case Qt::Key_Tab:
            if ((key->modifiers() & Qt::ShiftModifier) || App().dialogBusy) return false;
            focusStep_ = NextFocusStep(focusStep_, ui_->viewReportButton->isEnabled());
            return false;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (App().childOpen) return false;
            switch (focusStep_) {
                case 5:
                    ViewReport();
                    return true;
                case 6:
                    ShowHelp();
                    return true;
                case 7:
                    Exit();
                    return true;
                default:
                    return false;
            }
        case Qt::Key_F1:
            ShowHelp();
            return true;
        default:
            return false;
    }
}

}  // namespace kestrel

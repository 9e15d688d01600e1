#include "frontend/disk_selection.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>
#include <filesystem>

#include "controls/folder_tree_ctrl.h"
#include "frontend/app_state.h"
#include "frontend/change_log_path.h"
#include "frontend/help_window.h"
#include "frontend/part_screen.h"
#include "frontend/repair_recover.h"
#include "frontend/save_action.h"
#include "frontend/screen_icons.h"
#include "frontend/screen_prompts.h"
#include "frontend/search_screen.h"
#include "platform/activity_log.h"
#include "platform/raw_device.h"
#include "platform/settings.h"
#include "ui_disk_selection.h"

namespace kestrel {

namespace {

QString Qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void Log(std::string_view text) {
    AppendLogLine(LogKind::Activity, text);
}

// "<folder of the file as given>/Repair".
QString DefaultDestination(const QString& file) {
    const QString folder = QFileInfo(file).path();
    return folder.endsWith('/') ? folder + QStringLiteral("Repair")
                                : folder + QStringLiteral("/Repair");
}

}  // namespace

DiskSelection::DiskSelection(ScreenPrompts* prompts, QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::DiskSelection>()),
      ownPrompts_(prompts ? nullptr : std::make_unique<ScreenPrompts>()),
      prompts_(prompts ? prompts : ownPrompts_.get()) {
    ui_->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowFlag(Qt::WindowMinimizeButtonHint, true);
    App().languageFile = LanguageFile();
    BuildMenus();
    // 1
    ui_->modePanel->setTitle(QStringLiteral("Select Modes"));
    ui_->modeNextButton->setText(QStringLiteral("Ne&xt"));
    ui_->viewReportButton->SetPicture(QStringLiteral(":/icons/view-report.svg"),
                                      QStringLiteral("View Report"));
    ui_->helpButton->SetPicture(QStringLiteral(":/icons/help.svg"), QStringLiteral("Help"));
    ui_->exitButton->SetPicture(QStringLiteral(":/icons/exit.svg"), QStringLiteral("Exit"));
    // 2
    setWindowTitle(Qs(kMessageCaption));
    setWindowIcon(WindowIcon());
    ui_->banner->setPixmap(WindowIcon().pixmap(40, 40));
    // 3
    ShowStep(1);
    // The disk path starts hidden; File > "Search Disk or Image..." shows it.
    ui_->modePanel->hide();
    ui_->modeNextButton->setEnabled(false);
    UpdateViewReport();

    connect(ui_->sourceBrowse, &QPushButton::clicked, this, &DiskSelection::ChooseSource);
    connect(ui_->destinationBrowse, &QPushButton::clicked, this, &DiskSelection::ChooseDestination);
    connect(ui_->searchButton, &QPushButton::clicked, this, &DiskSelection::Search);
    connect(ui_->nextButton, &QPushButton::clicked, this, &DiskSelection::Next);
    connect(ui_->viewReportButton, &QToolButton::clicked, this, &DiskSelection::ViewReport);
    connect(ui_->helpButton, &QToolButton::clicked, this, &DiskSelection::Help);
    connect(ui_->exitButton, &QToolButton::clicked, this, &DiskSelection::Exit);
    connect(ui_->searchRecoverRadio, &QRadioButton::clicked, this, [this] { ModeClicked(true); });
    connect(ui_->repairRadio, &QRadioButton::clicked, this, [this] { ModeClicked(false); });
    connect(ui_->modeNextButton, &QPushButton::clicked, this, &DiskSelection::ModeNext);
    connect(ui_->diskTree, &CFolderTreeCtrl::diskClicked, this, &DiskSelection::DiskClicked);
    connect(ui_->diskTree, &CFolderTreeCtrl::chooseImageClicked, this,
            &DiskSelection::ChooseDiskImage);
    qApp->installEventFilter(this);
}

DiskSelection::~DiskSelection() {
    qApp->removeEventFilter(this);
}

void DiskSelection::BuildMenus() {
    menuBar_ = new QMenuBar(this);
    layout()->setMenuBar(menuBar_);
    QMenu* file = menuBar_->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("&Open"), this, &DiskSelection::ChooseSource);
    file->addAction(QStringLiteral("Search &Disk or Image..."), this,
                    &DiskSelection::ShowDiskPanel);
    // Save belongs to the recovery screen; here it does nothing.
    file->addAction(QStringLiteral("&Save"), this, [] {});
    file->addSeparator();
    file->addAction(QStringLiteral("E&xit"), this, &DiskSelection::Exit);
    QMenu* log = menuBar_->addMenu(QStringLiteral("&Log"));
    log->addAction(QStringLiteral("&View Log"), this, &DiskSelection::ViewLog);
    log->addAction(QStringLiteral("&Clear Log"), this, &DiskSelection::ClearLog);
    log->addAction(QStringLiteral("Change &Path"), this, &DiskSelection::ChangeLogPath);
    QMenu* help = menuBar_->addMenu(QStringLiteral("&Help"));
    help->addAction(QStringLiteral("&About"), this, &DiskSelection::About);
    help->addAction(QStringLiteral("&Help"), this, &DiskSelection::Help);
}

void DiskSelection::ShowStep(int step) {
    stepImage_ = QStringLiteral("Step%1.svg").arg(step);
    ui_->stepPicture->setPixmap(
        QPixmap(QString::fromStdString((InstallFolder() / stepImage_.toStdString()).string())));
}

void DiskSelection::UpdateViewReport() {
    const std::string report = ReadSetting(kReportFileValue);
    std::error_code ec;
    ui_->viewReportButton->setEnabled(!report.empty() &&
                                      std::filesystem::is_regular_file(report, ec));
}

AnalysisOptions DiskSelection::ChosenOptions() const {
    AnalysisOptions options;
    options.sourcePstPath = source_.toStdString();
    options.chosenPstPath = App().chosenPstPath;
    options.restoreDeleted = ui_->restoreDeleted->isChecked();
    options.deepScan = ui_->deepScan->isChecked() ? DeepScanMode::Always : DeepScanMode::Automatic;
    return options;
}

// --- Source and destination ---

void DiskSelection::ChooseSource() {
    const auto picked = prompts_->PickPstFile(this);
    if (!picked) return;
    SetSource(*picked);
}

void DiskSelection::SetSource(const QString& path) {
    // 2: the path is kept as given (it names the file); only its shown form is upper case.
    const std::string shown = ShownPstPath(path.toStdString());
    source_ = path;
    App().sourcePstPath = path.toStdString();
    ui_->sourceField->setText(QString::fromStdString(shown));
    ui_->destinationField->setText(QString::fromStdString(shown));
    // 3-5
    const bool hasDot = path.contains('.');
    const QString destination = hasDot ? DefaultDestination(path) : QString();
    AppendStartBanner(shown, destination.toStdString());
    if (!hasDot) {
        ui_->nextButton->setEnabled(false);
        prompts_->Inform(this, QStringLiteral("Invalid PST file path"));
        ui_->nextButton->setEnabled(true);
        return;
    }
    destination_ = destination;
    App().destinationFolder = destination.toStdString();
    ui_->destinationField->setText(destination);
}

void DiskSelection::ChooseDestination() {
    const auto picked = prompts_->PickDestination(this, destination_);
    if (!picked) return;
    Log(kLogBlankLine);
    Log("Select Destination Path");
    Log(picked->toStdString());
    if (picked->isEmpty()) {
        prompts_->Inform(this, QStringLiteral("Please select the valid path"));
        return;
    }
    destination_ = *picked;
    App().destinationFolder = picked->toStdString();
    ui_->destinationField->setText(destination_);
}

// --- Search and Next ---

void DiskSelection::Search() {
    Log(kLogBlankLine);
    Log("Click The Search Button");
    Settings screen(prompts_, this);
    screen.resize(860, 520);
    hide();
    if (hooks_.runSearch) {
        hooks_.runSearch(screen);
    } else {
        screen.exec();
    }
    if (screen.repairChosen()) {
        OpenRecovery(App().chosenPstPath);
        return;
    }
    show();
    focusStep_ = 1;
}

void DiskSelection::Next() {
    std::error_code ec;
    if (source_.isEmpty() || !std::filesystem::exists(source_.toStdString(), ec)) {
        prompts_->Inform(this, QStringLiteral("Source path doesn't exist"));
        return;
    }
    OpenRecovery(source_.toStdString());
}

void DiskSelection::OpenRecovery(const std::string& path) {
    hide();
    // The screen analyses the file it is opened on: the one picked in the search list when
    // that is how it came, else the source chosen here.
    recovery_ = std::make_unique<RepairRecover>(path, prompts_);
    recovery_->SetAnalysisOptions(ChosenOptions());
    recovery_->hooks().endProgram = [this](int code) { EndProgram(code); };
    // Back hides the recovery screen with its worker stopped; this screen comes back as it
    // was left, and the old recovery screen goes once its handler has returned.
    recovery_->hooks().backToFirstScreen = [this] {
        QTimer::singleShot(0, this, [this] {
            recovery_.reset();
            show();
            focusStep_ = 1;
        });
    };
    auto* save = new SaveAction(*recovery_, *prompts_, destination_);
    save->hooks().endProgram = [this](int code) { EndProgram(code); };
    connect(recovery_.get(), &RepairRecover::helpRequested, this, [] { ShowHelp(); });
    recovery_->resize(1100, 720);
    recovery_->show();
    recovery_->Open();
}

// --- Picture buttons and menus ---

void DiskSelection::ViewReport() {
    const QString report = QString::fromStdString(ReadSetting(kReportFileValue));
    if (!report.isEmpty()) prompts_->ShowText(this, report);
}

void DiskSelection::Help() {
    ShowHelp();
}

void DiskSelection::About() {
    QMessageBox::about(this, QStringLiteral("About ") + Qs(kMessageCaption),
                       QStringLiteral("<b>Kestrel for Microsoft Outlook</b><br>Version %1<br><br>"
                                      "Recovers mail, contacts, calendar, tasks, notes and "
                                      "journal entries from Outlook PST and OST files, "
                                      "damaged ones above all.")
                           .arg(QCoreApplication::applicationVersion()));
}

void DiskSelection::Exit() {
    AskExit(false);
}

void DiskSelection::AskExit(bool fromClose) {
    if (App().dialogBusy.exchange(true)) return;
    ui_->nextButton->setEnabled(false);
    const bool yes = prompts_->Ask(this, QStringLiteral("Do you want to exit ?"));
    ui_->nextButton->setEnabled(true);
    App().dialogBusy = false;
    if (yes) {
        EndProgram(0);
        return;
    }
    if (!fromClose) return;
    switch (focusStep_) {
        case 3:
            (ui_->searchRecoverRadio->isEnabled() ? ui_->searchRecoverRadio : ui_->repairRadio)
                ->setFocus();
            focusStep_ = 2;
            break;
        case 4:
            ui_->viewReportButton->setFocus();
            break;
        case 5:
            ui_->helpButton->setFocus();
            break;
        case 6:
            ui_->exitButton->setFocus();
            break;
        default:
            break;
    }
}

void DiskSelection::closeEvent(QCloseEvent* event) {
    event->ignore();
    AskExit(true);
}

void DiskSelection::EndProgram(int code) {
    if (hooks_.endProgram) {
        hooks_.endProgram(code);
    } else {
        QCoreApplication::exit(code);
    }
}

void DiskSelection::ViewLog() {
    prompts_->ShowText(this, QString::fromStdString(LogFilePath(LogKind::Activity).string()));
}

void DiskSelection::ClearLog() {
    if (!prompts_->Ask(this, QStringLiteral("Are you sure you want to clean log."))) return;
    std::error_code ec;
    std::filesystem::remove(LogFilePath(LogKind::Activity), ec);
}

void DiskSelection::ChangeLogPath() {
    kestrel::ChangeLogPath dialog(prompts_, this);
    dialog.exec();
}

// --- The mode panel ---

void DiskSelection::ModeClicked(bool searchAndRecover) {
    App().modeName = searchAndRecover ? "Search and Recover" : "Repair";
    if (!searchAndRecover) ui_->modeNextButton->setEnabled(true);
    ShowStep(3);
    if (!searchAndRecover || ui_->searchRecoverRadio->isChecked()) focusStep_ = 2;
}

void DiskSelection::ModeNext() {
    if (!ui_->searchRecoverRadio->isChecked() && !ui_->repairRadio->isChecked()) {
        ui_->nextButton->setEnabled(false);
        ui_->modeNextButton->setEnabled(false);
        prompts_->Inform(this, QStringLiteral("Please select mode before continuing further"));
        ui_->nextButton->setEnabled(true);
        ui_->modeNextButton->setEnabled(true);
        (ui_->searchRecoverRadio->isEnabled() ? ui_->searchRecoverRadio : ui_->repairRadio)
            ->setFocus();
        ShowStep(2);
        ui_->diskList->clear();
        return;
    }
    if (App().modeName == "Search and Recover") {
        OpenPartitions();
        return;
    }
    App().modeTag = App().modeName == "Repair" ? "REPAIR" : "EXTRACT";
    if (App().modeTag == "EXTRACT") focusStep_ = 1;
    UpdateViewReport();
    Next();
}

// --- The disk path ---

void DiskSelection::ShowDiskPanel() {
    FillDiskTree();
    ui_->modePanel->show();
    ShowStep(2);
    focusStep_ = 2;
    ui_->diskTree->setFocus();
}

void DiskSelection::FillDiskTree() {
    CFolderTreeCtrl* tree = ui_->diskTree;
    tree->SetClickMode(CFolderTreeCtrl::kDiskClicks);
    App().treeClickMode = CFolderTreeCtrl::kDiskClicks;
    QTreeWidgetItem* root = tree->ResetRoot(QStringLiteral("My Computer"));
    const std::vector<DiskEntry> disks = hooks_.listDisks ? hooks_.listDisks() : ListDisks();
    const QLocale locale = QLocale::c();
    int number = 0;
    for (const DiskEntry& disk : disks) {
        QString label = QStringLiteral("Disk %1 - %2 (%3")
                            .arg(number)
                            .arg(QString::fromStdString(disk.device))
                            .arg(locale.formattedDataSize(static_cast<qint64>(disk.sizeBytes)));
        if (!disk.model.empty()) label += QStringLiteral(", ") + QString::fromStdString(disk.model);
        label += ')';
        tree->AddDrive(root, label,
                       disk.removable ? CFolderTreeCtrl::DriveType::Removable
                                      : CFolderTreeCtrl::DriveType::Fixed,
                       QString::fromStdString(disk.device), number);
        ++number;
    }
    for (const QString& image : images_) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(image.toStdString(), ec);
        QTreeWidgetItem* item = tree->AddImageFile(
            root,
            QStringLiteral("Disk %1 - %2 (%3, image)")
                .arg(number)
                .arg(image)
                .arg(locale.formattedDataSize(ec ? 0 : static_cast<qint64>(size))),
            image);
        item->setData(0, CFolderTreeCtrl::kIndexRole, number);
        ++number;
    }
    tree->AddChooseImage(root, QStringLiteral("Disk image..."));
    tree->expandAll();
}

void DiskSelection::DiskClicked(QTreeWidgetItem* item) {
    if (App().treeClickMode != CFolderTreeCtrl::kDiskClicks || !item) return;
    App().selectedDiskName = item->text(0).toStdString();
    App().selectedDiskIndex = item->data(0, CFolderTreeCtrl::kIndexRole).toInt();
    App().selectedDiskSource = item->data(0, CFolderTreeCtrl::kSourceRole).toString().toStdString();
    ui_->diskList->clear();
    const QIcon icon = item->icon(0);
    ui_->diskList->addItem(new QListWidgetItem(icon, item->text(0)));
    ui_->diskList->addItem(new QListWidgetItem(
        icon, QStringLiteral("Device : ") + QString::fromStdString(App().selectedDiskSource)));
    ui_->modeNextButton->setEnabled(true);
    Log(kLogBlankLine);
    Log("Select Disk:");
    Log(App().selectedDiskName);
}

void DiskSelection::ChooseDiskImage() {
    const auto picked = prompts_->PickDiskImage(this);
    if (!picked || picked->isEmpty()) return;
    if (!images_.contains(*picked)) images_ << *picked;
    FillDiskTree();
    QTreeWidgetItem* root = ui_->diskTree->root();
    for (int i = 0; root && i < root->childCount(); ++i) {
        QTreeWidgetItem* item = root->child(i);
        if (CFolderTreeCtrl::KindOf(item) == CFolderTreeCtrl::Kind::ImageFile &&
            item->data(0, CFolderTreeCtrl::kSourceRole).toString() == *picked)
            ui_->diskTree->Click(item);
    }
}

void DiskSelection::OpenPartitions() {
    const std::string source = App().selectedDiskSource;
    if (source.empty()) {
        prompts_->Inform(this, QStringLiteral("Please select a disk or a disk image"));
        return;
    }
    // Say plainly why a disk cannot be read before leaving this screen.
    {
        RawDevice device;
        std::string reason;
        if (!device.Open(source, &reason)) {
            const QString name = QString::fromStdString(source);
            if (device.NeedsRootRights()) {
                prompts_->Inform(this, QStringLiteral("%1 cannot be read without root rights. "
                                                      "Start Kestrel as root (for example with "
                                                      "sudo) to read a disk, or choose a disk "
                                                      "image.")
                                           .arg(name));
            } else {
                prompts_->Inform(this, QStringLiteral("%1 cannot be read: %2")
                                           .arg(name, QString::fromStdString(reason)));
            }
            return;
        }
    }
    PartScreen screen(prompts_, this);
    screen.hooks().endProgram = [this](int code) { EndProgram(code); };
    screen.resize(760, 480);
    screen.Open();
    hide();
    if (hooks_.runPartitions) {
        hooks_.runPartitions(screen);
    } else {
        screen.exec();
    }
    App().treeClickMode = CFolderTreeCtrl::kDiskClicks;
    App().screenActive = false;
    if (screen.repairChosen()) {
        OpenRecovery(App().chosenPstPath);
        return;
    }
    show();
    focusStep_ = 3;
    ShowStep(1);
    UpdateViewReport();
}

// --- Keyboard ---

bool DiskSelection::eventFilter(QObject* watched, QEvent* event) {
    QKeyEvent* key = ScreenKeyToHandle(this, watched, event, lastKey_);
    return key ? HandleKey(key) : QDialog::eventFilter(watched, event);
}

bool DiskSelection::HandleKey(QKeyEvent* key) {
    switch (key->key()) {
        case Qt::Key_Tab:
            if ((key->modifiers() & Qt::ShiftModifier) || App().dialogBusy) return false;
            ++focusStep_;
            if (focusStep_ == 4 && !ui_->viewReportButton->isEnabled()) ++focusStep_;
            if (focusStep_ > 6) focusStep_ = 1;
            ShowStep(focusStep_ == 2 ? 2 : focusStep_ == 3 ? 3 : 1);
            return false;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            switch (focusStep_) {
                case 3:
                    return true;
                case 4:
                    ViewReport();
                    return true;
                case 5:
                    Help();
                    return true;
                case 6:
                    Exit();
                    return true;
                default:
                    return false;
            }
        case Qt::Key_F1:
            Help();
            return true;
        default:
            return false;
    }
}

}  // namespace kestrel

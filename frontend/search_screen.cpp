#include "frontend/search_screen.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMetaObject>
#include <QPixmap>
#include <QPointer>
#include <filesystem>

#include <fmt/format.h>
#include "frontend/app_state.h"
#include "frontend/help_window.h"
#include "frontend/screen_icons.h"
#include "frontend/screen_prompts.h"

#include "platform/activity_log.h"
#include "platform/disk_table.h"
#include "platform/raw_device.h"
#include "platform/settings.h"
#include "ui_settings.h"

namespace kestrel {

namespace {

QString Qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void Log(std::string_view text) {
    AppendLogLine(LogKind::Activity, text);
}

bool ReportExists() {
    const std::string report = ReadSetting(kReportFileValue);
    std::error_code ec;
    return !report.empty() && std::filesystem::is_regular_file(report, ec);
}

}  // namespace

Settings::Settings(ScreenPrompts* prompts, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::Settings>()), prompts_(prompts) {
    ui_->setupUi(this);
    // 1-2
    setWindowIcon(WindowIcon());
    setWindowTitle(Qs(kMessageCaption));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);
    ui_->stepPicture->setPixmap(
        QPixmap(QString::fromStdString((InstallFolder() / "Step5.svg").string())));
    ui_->viewReportButton->SetPicture(QStringLiteral(":/icons/view-report.svg"),
                                      QStringLiteral("View Report"));
    ui_->helpButton->SetPicture(QStringLiteral(":/icons/help.svg"), QStringLiteral("Help"));
    ui_->exitButton->SetPicture(QStringLiteral(":/icons/exit.svg"), QStringLiteral("Exit"));
    ui_->viewReportButton->setEnabled(ReportExists());
    // 4
    QTableWidget* list = ui_->fileList;
    const QStringList titles{QStringLiteral("Name"),
                             QStringLiteral("In Folder"),
                             QStringLiteral("Size"),
                             QStringLiteral("Modified"),
                             QString(),
                             QString()};
    list->setColumnCount(static_cast<int>(titles.size()));
    list->setHorizontalHeaderLabels(titles);
    const int widths[] = {150, 300, 100, 120};
    for (int c = 0; c < 4; ++c) list->setColumnWidth(c, widths[c]);
    list->setColumnHidden(4, true);
    list->setColumnHidden(5, true);
    list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list->horizontalHeader()->setStretchLastSection(false);
    // The full path takes what room there is; the time is never cut.
    list->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    list->horizontalHeader()->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    list->verticalHeader()->hide();
    list->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    // 6
    ui_->repairButton->setEnabled(false);
    ui_->repairButton->hide();
    ui_->cancelButton->hide();

    connect(ui_->browseButton, &QPushButton::clicked, this, &Settings::Browse);
    connect(ui_->searchButton, &QPushButton::clicked, this, &Settings::Search);
    connect(ui_->carveButton, &QPushButton::clicked, this, &Settings::Carve);
    connect(ui_->repairButton, &QPushButton::clicked, this, &Settings::Repair);
    connect(ui_->cancelButton, &QPushButton::clicked, this, &Settings::Cancel);
    connect(list, &QTableWidget::cellClicked, this, [this](int row, int) { RowClicked(row); });
    connect(ui_->viewReportButton, &QToolButton::clicked, this, &Settings::ViewReport);
    connect(ui_->helpButton, &QToolButton::clicked, this, [] { ShowHelp(); });
    connect(ui_->exitButton, &QToolButton::clicked, this, &Settings::Exit);
    qApp->installEventFilter(this);
}

Settings::~Settings() {
    qApp->removeEventFilter(this);
    finder_.RequestStop();
    if (thread_.joinable()) thread_.join();
    StopCarve();
}

void Settings::Browse() {
    const auto picked = prompts_->PickFolderTitled(
        this, QStringLiteral("Select Path for Searching Files"), ui_->pathField->text());
    if (!picked || picked->isEmpty()) return;
    ui_->pathField->setText(*picked);
    Log(kLogBlankLine);
    Log("Select Path for Searching Files");
    Log(picked->toStdString());
}

void Settings::Search() {
    // 1: the running search ends before its next entry.
    if (searching_) {
        finder_.RequestStop();
        return;
    }
    if (carving_) return;
    // 2-3
    const QString folder = ui_->pathField->text();
    std::error_code ec;
    if (folder.isEmpty() || !std::filesystem::is_directory(folder.toStdString(), ec)) {
        prompts_->Inform(this, QStringLiteral("Please Select search path  ? "));
        return;
    }
    // 4
    Log(kLogBlankLine);
    Log("Click the Search button for the Searching *.PST file");
    Log(kLogBlankLine);
    Log(folder.toStdString());
    // 5-7
    FileSearchOptions options;
    options.baseFolder = folder.toStdString();
    options.subfolders = ui_->subfolders->isChecked();
    ui_->fileList->setRowCount(0);
    ui_->statusText->setText(QStringLiteral("0 items found"));
    JoinSearch();
    searching_ = true;
    ui_->searchButton->setText(QStringLiteral("Stop"));
    ui_->carveButton->setEnabled(false);
    finder_.ClearFound();
    finder_.ResetStop();
    QPointer<Settings> self(this);
    const auto gate = hooks_.gate;
    finder_.SetCallback([self, gate](CFileFinder& finder, int code) {
        if (gate) gate(finder, code);
        const int found = static_cast<int>(finder.FoundCount());
        const QString searchingFolder = QString::fromStdString(finder.SearchingFolder());
        if (code == CFileFinder::kFound) {
            // The row's texts are made here, off the screen's thread: a slow disk stalls
            // the search, never the screen.
            const std::string full = finder.FoundPath(finder.FoundCount() - 1);
            const CPath path(full);
            const QStringList cells{QString::fromStdString(path.FileName()),
                                    QString::fromStdString(full),
                                    QString::fromStdString(SizeText(path.Size())),
                                    QString::fromStdString(ModifiedText(path.Modified()))};
            QMetaObject::invokeMethod(
                self.data(),
                [self, cells, found, searchingFolder] {
                    if (self) self->AddRow(cells, found, searchingFolder);
                },
                Qt::QueuedConnection);
        } else {
            QMetaObject::invokeMethod(
                self.data(),
                [self, found, searchingFolder] {
                    if (self) self->ShowProgress(found, searchingFolder);
                },
                Qt::QueuedConnection);
        }
    });
    thread_ = std::thread([this, self, options] {
        finder_.FindFiles(options);
        QMetaObject::invokeMethod(
            self.data(),
            [self] {
                if (self) self->SearchEnded();
            },
            Qt::QueuedConnection);
    });
}

void Settings::JoinSearch() {
    if (thread_.joinable()) thread_.join();
}

void Settings::AddRow(const QStringList& cells, int found, const QString& folder) {
    QTableWidget* list = ui_->fileList;
    const int row = list->rowCount();
    list->insertRow(row);
    for (int c = 0; c < static_cast<int>(cells.size()); ++c) {
        auto* cell = new QTableWidgetItem(cells[c]);
        if (c == 0) cell->setIcon(ItemIcon(2));
        list->setItem(row, c, cell);
    }
    ShowProgress(found, folder);
}

void Settings::ShowProgress(int found, const QString& folder) {
    ui_->statusText->setText(QStringLiteral("(%1) - %2").arg(found).arg(folder));
}

void Settings::SearchEnded() {
    JoinSearch();
    ui_->searchButton->setText(QStringLiteral("Search"));
    searching_ = false;
    ui_->carveButton->setEnabled(true);
    const int found = static_cast<int>(finder_.FoundCount());
    ui_->statusText->setText(QStringLiteral("%1 items found").arg(found));
    ui_->repairButton->show();
    ui_->cancelButton->show();
    emit searchFinished(found);
}

// --- Carving ---

void Settings::SetCarveSource(const QString& device, uint64_t start, uint64_t end) {
    carveDevice_ = device;
    carveStart_ = start;
    carveEnd_ = end;
    ui_->carveRange->setText(
        QStringLiteral("%1, sectors %2 to %3").arg(device).arg(start).arg(end));
    ui_->carveLabel->show();
    ui_->carveRange->show();
    ui_->carveButton->show();
}

void Settings::Carve() {
    if (carving_) {
        carveStop_ = true;
        return;
    }
    if (carveDevice_.isEmpty() || searching_) return;
    QString destination = QString::fromStdString(App().destinationFolder);
    if (destination.isEmpty()) {
        const auto picked = prompts_->PickDestination(this, QString());
        if (!picked || picked->isEmpty()) return;
        destination = *picked;
        App().destinationFolder = destination.toStdString();
    }
    const std::filesystem::path out = destination.toStdString();
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    if (!std::filesystem::is_directory(out, ec)) {
        prompts_->Inform(
            this, QStringLiteral("The destination folder %1 cannot be created.").arg(destination));
        return;
    }
    // Writing onto the disk being carved could overwrite the very files sought.
    std::string why;
    if (DirOnSource(out, carveDevice_.toStdString(), &why)) {
        prompts_->Inform(this,
                         QStringLiteral("The destination folder %1 is on the disk being carved "
                                        "(%2). Please select a destination on another disk.")
                             .arg(destination, QString::fromStdString(why)));
        return;
    }
    Log(kLogBlankLine);
    Log("Click the Carve button for " + carveDevice_.toStdString() + " into " + out.string());
    ui_->fileList->setRowCount(0);
    ui_->statusText->setText(QStringLiteral("Carving..."));
    ui_->carveButton->setText(QStringLiteral("Stop"));
    ui_->searchButton->setEnabled(false);
    carving_ = true;
    carveStop_ = false;
    if (carveThread_.joinable()) carveThread_.join();
    QPointer<Settings> self(this);
    const std::string device = carveDevice_.toStdString();
    const uint64_t start = carveStart_, end = carveEnd_;
    carveThread_ = std::thread([this, self, device, start, end, out] {
        CarveReport report;
        RawDevice source;
        std::string reason;
        if (!source.Open(device, &reason)) {
            report.error = device + ": " + reason;
        } else {
            uint64_t shownPercent = 101;
            report = CarvePstFiles(
                source, start, end, out,
                [self, &shownPercent](uint64_t done, uint64_t total) {
                    const uint64_t percent = total == 0 ? 100 : done / (total / 100 + 1);
                    if (percent == shownPercent) return;
                    shownPercent = percent;
                    QMetaObject::invokeMethod(
                        self.data(),
                        [self, done, total] {
                            if (self)
                                self->ui_->statusText->setText(
                                    QStringLiteral("Carving: %1 of %2 sectors")
                                        .arg(done)
                                        .arg(total));
                        },
                        Qt::QueuedConnection);
                },
                &carveStop_);
        }
        QMetaObject::invokeMethod(
            self.data(),
            [self, report] {
                if (self) self->CarveEnded(report);
            },
            Qt::QueuedConnection);
    });
}

void Settings::StopCarve() {
    carveStop_ = true;
    if (carveThread_.joinable()) carveThread_.join();
}

void Settings::CarveEnded(const CarveReport& report) {
    if (carveThread_.joinable()) carveThread_.join();
    carving_ = false;
    carveReport_ = report;
    ui_->carveButton->setText(QStringLiteral("Carve"));
    ui_->searchButton->setEnabled(true);
    // The carved files are listed like found ones, so Repair opens any of them.
    for (const CarvedFile& file : report.files) {
        const CPath path(file.path.string());
        AddRow({QString::fromStdString(path.FileName()), QString::fromStdString(file.path.string()),
                QString::fromStdString(SizeText(path.Size())),
                QString::fromStdString(ModifiedText(path.Modified()))},
               0, {});
    }
    const int carved = static_cast<int>(report.files.size());
    ui_->statusText->setText(QStringLiteral("%1 PST files carved").arg(carved));
    ui_->repairButton->show();
    ui_->cancelButton->show();
    Log(fmt::format("Carved {} PST files, sectors {} to {}{}", carved, report.start, report.end,
                    report.stopped ? " (stopped)" : ""));
    QStringList notes;
    for (const CarvedFile& file : report.files)
        if (file.truncated)
            notes << QStringLiteral("%1: cut at the end of the range (%2 of %3 bytes)")
                         .arg(QString::fromStdString(file.path.filename().string()))
                         .arg(file.size)
                         .arg(file.declaredSize);
    for (const std::string& problem : report.problems) notes << QString::fromStdString(problem);
    if (report.unreadableSectors > 0)
        notes << QStringLiteral("%1 sectors could not be read").arg(report.unreadableSectors);
    if (!report.error.empty()) {
        prompts_->Inform(
            this, QStringLiteral("Carving ended early: ") + QString::fromStdString(report.error),
            notes.join('\n'));
    } else if (!notes.isEmpty()) {
        prompts_->Inform(this, QStringLiteral("%1 PST files carved").arg(carved), notes.join('\n'));
    }
    emit carveFinished(carved);
}

void Settings::RowClicked(int row) {
    const QTableWidgetItem* cell = ui_->fileList->item(row, 1);
    if (!cell) return;
    App().chosenPstPath = cell->text().toStdString();
    ui_->repairButton->setEnabled(true);
}

void Settings::Repair() {
    Log(kLogBlankLine);
    Log("Click OK Button for Repairng the PST file");
    const std::string chosen = App().chosenPstPath;
    std::error_code ec;
    if (chosen.empty() || !std::filesystem::exists(chosen, ec)) {
        prompts_->Inform(this, QStringLiteral("Please Select the File First"));
        return;
    }
    finder_.RequestStop();
    JoinSearch();
    StopCarve();
    repairChosen_ = true;
    hide();
    done(QDialog::Rejected);
}

void Settings::Cancel() {
    Log(kLogBlankLine);
    Log("Press Back Button for select mode ");
    finder_.RequestStop();
    JoinSearch();
    StopCarve();
    done(QDialog::Rejected);
}

void Settings::ViewReport() {
    if (focusStep_ == 6) return;
    const QString report = QString::fromStdString(ReadSetting(kReportFileValue));
    if (!report.isEmpty()) prompts_->ShowText(this, report);
}

void Settings::Exit() {
    if (App().dialogBusy.exchange(true)) return;
    const bool yes = prompts_->Ask(this, QStringLiteral("Do you want to exit ?"));
    App().dialogBusy = false;
    if (!yes) return;
    finder_.RequestStop();
    JoinSearch();
    StopCarve();
    EndProgram(0);
}

void Settings::EndProgram(int code) {
    if (hooks_.endProgram) {
        hooks_.endProgram(code);
    } else {
        QCoreApplication::exit(code);
    }
}

void Settings::closeEvent(QCloseEvent* event) {
    event->ignore();
    Exit();
}

bool Settings::eventFilter(QObject* watched, QEvent* event) {
    QKeyEvent* key = ScreenKeyToHandle(this, watched, event, lastKey_);
    return key ? HandleKey(key) : QDialog::eventFilter(watched, event);
}

bool Settings::HandleKey(QKeyEvent* key) {
    switch (key->key()) {
        case Qt::Key_Tab:
            focusStep_ = NextFocusStep(focusStep_, ui_->viewReportButton->isEnabled());
            return false;
        case Qt::Key_Backtab:
            // Shift+Tab moves nothing here.
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
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

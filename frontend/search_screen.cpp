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

#include "frontend/app_state.h"
#include "frontend/help_window.h"
#include "frontend/screen_icons.h"
#include "frontend/screen_prompts.h"
#include "platform/activity_log.h"
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
    const int found = static_cast<int>(finder_.FoundCount());
    ui_->statusText->setText(QStringLiteral("%1 items found").arg(found));
    ui_->repairButton->show();
    ui_->cancelButton->show();
    emit searchFinished(found);
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
    repairChosen_ = true;
    hide();
    done(QDialog::Rejected);
}

void Settings::Cancel() {
    Log(kLogBlankLine);
    Log("Press Back Button for select mode ");
    finder_.RequestStop();
    JoinSearch();
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
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease)
        return QDialog::eventFilter(watched, event);
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != this) return QDialog::eventFilter(watched, event);
    QKeyEvent* key = KeyToHandle(event, lastKey_);
    return key != nullptr && HandleKey(key);
}

bool Settings::HandleKey(QKeyEvent* key) {
    switch (key->key()) {
        case Qt::Key_Tab:
            ++focusStep_;
            if (focusStep_ == 5 && !ui_->viewReportButton->isEnabled()) ++focusStep_;
            if (focusStep_ > 7) focusStep_ = 0;
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

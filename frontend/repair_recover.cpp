#include "frontend/repair_recover.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaObject>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidgetItemIterator>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <algorithm>
#include <filesystem>
#include <limits>

#include "frontend/app_state.h"
#include "frontend/folder_tree.h"
#include "frontend/preview_guard.h"
#include "frontend/preview_writer.h"
#include "frontend/report_viewer.h"
#include "frontend/screen_icons.h"
#include "frontend/screen_observer.h"
#include "frontend/screen_prompts.h"
#include "items/preview_page.h"
#include "items/rtf_html.h"
#include "platform/activity_log.h"
#include "platform/app_folders.h"
#include "platform/settings.h"
#include "ui_repair_recover.h"

namespace kestrel {

namespace {

QString Qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString PathText(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

constexpr std::string_view kCounterOrder[] = {
    kCounterInbox,        kCounterDrafts,     kCounterOutbox,   kCounterSentItems,
    kCounterDeletedItems, kCounterJunkEmails, kCounterJournal,  kCounterTasks,
    kCounterContacts,     kCounterNotes,      kCounterCalendar, kCounterTotalMail,
};

int ClampInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max()));
}

// "<folder of the file as given>/Repair".
QString DefaultDestination(const QString& file) {
    const QString folder = QFileInfo(file).path();
    return folder.endsWith('/') ? folder + QStringLiteral("Repair")
                                : folder + QStringLiteral("/Repair");
}

// The HTML an RTF body carries (written from HTML): without it such a message, which has
// no HTML body of its own, would preview as an empty page.
std::optional<std::string> RtfHtml(const MessageRecord* message) {
    if (message && !message->rtfBody.empty()) return HtmlFromRtf(message->rtfBody);
    return std::nullopt;
}

}  // namespace

RepairRecover::RepairRecover(std::string pstPath, ScreenPrompts* prompts, ScreenObserver* observer,
                             QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::RepairRecover>()),
      pstPath_(std::move(pstPath)),
      ownPrompts_(prompts ? nullptr : std::make_unique<ScreenPrompts>()),
      prompts_(prompts ? prompts : ownPrompts_.get()),
      ownObserver_(observer ? nullptr : std::make_unique<ScreenObserver>()),
      observer_(observer ? observer : ownObserver_.get()),
      engine_(observer_) {
    ui_->setupUi(this);
    setWindowIcon(WindowIcon());
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    SetUpPreview();
    SetUpCounters();
    Connect();
    ui_->mainSplitter->setStretchFactor(0, 1);
    ui_->mainSplitter->setStretchFactor(1, 3);
    ui_->mainSplitter->setSizes({280, 820});
    ui_->itemSplitter->setSizes({240, 360});
    ui_->previewLayout->setColumnStretch(1, 1);
    ui_->previewLayout->setRowStretch(3, 1);
    ui_->itemList->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    ui_->summaryGroup->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    qApp->installEventFilter(this);
}

RepairRecover::~RepairRecover() {
    qApp->removeEventFilter(this);
    if (fillCancel_) fillCancel_->store(true);
    for (Fill& fill : fills_) {
        if (fill.thread.joinable()) fill.thread.join();
    }
    engine_.Stop();
    // The page goes before its profile.
    delete ui_->preview->page();
}

void RepairRecover::SetUpPreview() {
    profile_ = new QWebEngineProfile(this);  // off the record: no cache or cookies on disk
    guard_ = new PreviewGuard(PathText(InstallFolder()), PathText(CacheFolder()), this);
    profile_->setUrlRequestInterceptor(guard_);
    auto* page = new QWebEnginePage(profile_, ui_->preview);
    QWebEngineSettings* settings = page->settings();
    // A message runs no script and reaches nothing outside the two folders.
    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    settings->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
    ui_->preview->setPage(page);
    ui_->preview->setContextMenuPolicy(Qt::NoContextMenu);
}

void RepairRecover::SetUpCounters() {
    auto* layout = qobject_cast<QGridLayout*>(ui_->summaryGroup->layout());
    int index = 0;
    for (std::string_view counter : kCounterOrder) {
        const int row = index % 3, column = (index / 3) * 2;
        auto* label = new QLabel(Qs(counter), ui_->summaryGroup);
        auto* value = new QLabel(QStringLiteral("0"), ui_->summaryGroup);
        value->setMinimumWidth(50);
        value->setObjectName(QStringLiteral("counter") + QString::number(index));
        layout->addWidget(label, row, column);
        layout->addWidget(value, row, column + 1);
        counters_.insert(Qs(counter), value);
        ++index;
    }
}

void RepairRecover::Connect() {
    connect(observer_, &ScreenObserver::folderAdded, this,
            [this](const QString& path, const QString& containerClass, uint32_t nid, bool) {
                ui_->folderTree->AddFolder(path, containerClass, nid);
            });
    connect(observer_, &ScreenObserver::counterChanged, this,
            [this](const QString& counter, qulonglong value) {
                if (QLabel* field = counters_.value(counter))
                    field->setText(QString::number(value));
            });
    connect(observer_, &ScreenObserver::progressRange, this, [this](qlonglong low, qlonglong high) {
        ui_->progressBar->setRange(ClampInt(low), ClampInt(std::max(low, high)));
    });
    connect(observer_, &ScreenObserver::progressPosition, this,
            [this](qlonglong position) { ui_->progressBar->setValue(ClampInt(position)); });
    connect(observer_, &ScreenObserver::pageShown, this, &RepairRecover::ShowPage);
    connect(observer_, &ScreenObserver::messageShown, this, &RepairRecover::ShowEngineMessage);
    connect(observer_, &ScreenObserver::saveEnabled, ui_->saveButton, &QWidget::setEnabled);
    connect(observer_, &ScreenObserver::saveShown, ui_->saveButton, &QWidget::setVisible);
    connect(observer_, &ScreenObserver::pauseStopEnabled, this, [this](bool enabled) {
        ui_->pauseButton->setEnabled(enabled);
        ui_->stopButton->setEnabled(enabled);
    });
    connect(observer_, &ScreenObserver::progressBarHidden, ui_->progressBar, &QWidget::hide);
    connect(observer_, &ScreenObserver::finished, this, &RepairRecover::analysisFinished);

    connect(ui_->folderTree, &PstFolderTree::folderSelected, this, &RepairRecover::StartFill);
    connect(ui_->folderTree, &PstFolderTree::checksChanged, this,
            &RepairRecover::ShowSelectedCount);
    connect(ui_->itemList, &QTableWidget::cellClicked, this,
            [this](int row, int) { ShowMessagePreview(row); });
    connect(ui_->pauseButton, &QPushButton::clicked, this, &RepairRecover::Pause);
    connect(ui_->stopButton, &QPushButton::clicked, this, &RepairRecover::Stop);
    connect(ui_->backButton, &QPushButton::clicked, this, &RepairRecover::Back);
    connect(ui_->saveButton, &QPushButton::clicked, this, &RepairRecover::saveRequested);
    connect(ui_->exitButton, &QToolButton::clicked, this, &RepairRecover::Exit);
    connect(ui_->viewReportButton, &QToolButton::clicked, this, &RepairRecover::ViewReport);
    connect(ui_->helpButton, &QToolButton::clicked, this, &RepairRecover::helpRequested);
    connect(ui_->sourceBrowse, &QPushButton::clicked, this, &RepairRecover::SourceSelection);
    connect(ui_->destinationBrowse, &QPushButton::clicked, this,
            &RepairRecover::DestinationSelection);
}

bool RepairRecover::ReportExists() const {
    const std::string report = ReadSetting(kReportFileValue);
    std::error_code ec;
    return !report.empty() && std::filesystem::is_regular_file(report, ec);
}

void RepairRecover::Open() {
    // 1-2: the tree and list wait for the run; the pictures and captions.
    ui_->folderTree->hide();
    ui_->itemList->hide();
    ui_->sourceGroup->hide();
    ui_->destinationGroup->hide();
    ui_->viewReportButton->SetPicture(QStringLiteral(":/icons/view-report.svg"),
                                      QStringLiteral("View Report"));
    ui_->helpButton->SetPicture(QStringLiteral(":/icons/help.svg"), QStringLiteral("Help"));
    ui_->exitButton->SetPicture(QStringLiteral(":/icons/exit.svg"), QStringLiteral("Exit"));
    ui_->stepPicture->setPixmap(QPixmap(PathText(InstallFolder() / "Step2.svg")));
    // 3
    setWindowTitle(Qs(kMessageCaption));
    ui_->viewReportButton->setEnabled(ReportExists());
    // 4
    App().screenActive = true;
    App().shiftDown = false;
    focusStep_ = 0;
    ui_->saveButton->setEnabled(false);
    // 5-6
    SetMailColumns();
    ui_->itemList->setIconSize(QSize(16, 16));
    ui_->itemList->setShowGrid(true);
    ui_->itemList->verticalHeader()->hide();
    ui_->itemList->horizontalHeader()->setStretchLastSection(false);
    // 9
    ui_->progressBar->setValue(0);
    ui_->progressBar->show();
    ui_->itemList->setRowCount(0);
    ui_->folderTree->ClearFolders();
    ui_->folderTree->show();
    ui_->itemList->show();
    ui_->pauseButton->setText(QStringLiteral("Pause"));
    destination_ = DefaultDestination(QString::fromStdString(pstPath_));
    ui_->destinationField->setText(destination_);
    // 10, 12
    AnalysisOptions options = baseOptions_;
    options.sourcePstPath = pstPath_;
    options.chosenPstPath = App().chosenPstPath;
    startedOptions_ = options;
    ShowSelectedCount();
    engine_.Start(std::move(options));
    ShowPage(Qs(kPageProgress));
}

void RepairRecover::SetMailColumns() {
    QTableWidget* list = ui_->itemList;
    list->clear();
    list->setRowCount(0);
    const QStringList titles{QStringLiteral("From"),
                             QStringLiteral("E-mail Subject"),
                             QStringLiteral("To"),
                             QStringLiteral("Received"),
                             QString(),
                             QString()};
    list->setColumnCount(static_cast<int>(titles.size()));
    list->setHorizontalHeaderLabels(titles);
    for (int c = 0; c < 4; ++c) list->setColumnWidth(c, 150);
    list->setColumnHidden(4, true);
    list->setColumnHidden(5, true);
}

void RepairRecover::Navigate(const QString& file) {
    ui_->preview->load(QUrl::fromLocalFile(file));
    emit previewNavigated(file);
}

void RepairRecover::ShowPage(const QString& page) {
    Navigate(PathText(StatusPagePath(InstallFolder(), page.toStdString())));
}

void RepairRecover::ShowEngineMessage(const QString& text) {
    QString details;
    engine_.ReadResult([&details](const AnalysisResult& result) {
        details = QString::fromStdString(result.openFailure);
    });
    prompts_->Inform(this, text, details);
}

// The ticked folders are the ones Save writes.
void RepairRecover::ShowSelectedCount() {
    int checked = 0;
    for (QTreeWidgetItemIterator it(ui_->folderTree); *it; ++it)
        if ((*it)->checkState(0) == Qt::Checked) ++checked;
    ui_->selectedFolders->setText(QStringLiteral("%1 Selected Folder(s)").arg(checked));
}

// --- The item list ---

void RepairRecover::StartFill(uint32_t folderNid) {
    // The newest selection wins: the fill before it stops at its next row.
    if (fillCancel_) fillCancel_->store(true);
    for (auto it = fills_.begin(); it != fills_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = fills_.erase(it);
        } else {
            ++it;
        }
    }
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    auto done = std::make_shared<std::atomic<bool>>(false);
    fillCancel_ = cancel;
    const uint64_t generation = ++fillGeneration_;
    QPointer<RepairRecover> self(this);
    const ScreenHooks hooks = hooks_;
    fills_.push_back(Fill{std::thread([this, self, hooks, folderNid, cancel, done, generation] {
                              if (hooks.beforeFill) hooks.beforeFill(folderNid);
                              auto view = std::make_shared<ResultView>();
                              engine_.ReadResult([&](const AnalysisResult& result) {
                                  *view = FillResultView(result, folderNid, cancel.get());
                              });
                              QMetaObject::invokeMethod(
                                  this,
                                  [self, view, generation] {
                                      if (self) self->ApplyView(*view, generation);
                                  },
                                  Qt::QueuedConnection);
                              done->store(true);
                          }),
                          done});
}

void RepairRecover::ApplyView(const ResultView& view, uint64_t generation) {
    // A fill a newer selection overtook shows nothing: the list ends up with the last one.
    if (generation != fillGeneration_ || view.cancelled) {
        emit fillDiscarded(view.folderNid);
        return;
    }
    if (view.keepPrevious) {
        emit viewApplied(view.folderNid);
        return;
    }
    QTableWidget* list = ui_->itemList;
    list->setUpdatesEnabled(false);
    list->clear();
    const auto& columns = view.columns();
    list->setColumnCount(static_cast<int>(columns.size()));
    QStringList titles;
    for (const ViewColumn& column : columns) titles << Qs(column.title);
    list->setHorizontalHeaderLabels(titles);
    for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
        list->setColumnHidden(c, false);
        list->setColumnWidth(c, columns[static_cast<size_t>(c)].width);
    }
    list->setRowCount(static_cast<int>(view.rows.size()));
    int r = 0;
    for (const ViewRow& row : view.rows) {
        for (int c = 0; c < static_cast<int>(row.cells.size()) && c < list->columnCount(); ++c) {
            auto* cell = new QTableWidgetItem(Qs(row.cells[static_cast<size_t>(c)]));
            if (c == 0) {
                cell->setIcon(ItemIcon(row.icon));
                cell->setData(kNidRole, row.nid);
                cell->setData(kBidRole, QVariant::fromValue<qulonglong>(row.dataBid));
                cell->setData(kIconRole, row.icon);
            }
            list->setItem(r, c, cell);
        }
        ++r;
    }
    if (view.gridLines) list->setShowGrid(true);
    list->setUpdatesEnabled(true);
    shownView_ = view.kind;
    if (view.kind == ResultViewKind::Mail) {
        std::atomic_store(&previewMessages_,
                          std::make_shared<const std::vector<ViewRow>>(view.rows));
    }
    emit viewApplied(view.folderNid);
}

// --- The preview ---

void RepairRecover::ShowMessagePreview(int row) {
    QTableWidget* list = ui_->itemList;
    if (row < 0 || row >= list->rowCount()) return;
    auto cell = [list, row](int column) {
        const QTableWidgetItem* item = list->item(row, column);
        return item ? item->text() : QString();
    };
    // Labels and body both come from the clicked row.
    const bool mail = shownView_ == ResultViewKind::Mail;
    ui_->fromValue->setText(mail ? cell(0) : QString());
    ui_->toValue->setText(mail ? cell(2) : QString());
    ui_->subjectValue->setText(mail ? cell(1) : cell(0));

    const QTableWidgetItem* first = list->item(row, 0);
    if (!first) return;
    uint32_t nid = first->data(kNidRole).toUInt();
    uint64_t dataBid = first->data(kBidRole).toULongLong();
    if (mail) {
        const auto messages = std::atomic_load(&previewMessages_);
        if (!messages || static_cast<size_t>(row) >= messages->size()) return;
        nid = (*messages)[static_cast<size_t>(row)].nid;
        dataBid = (*messages)[static_cast<size_t>(row)].dataBid;
    }

    PreviewPage page;
    std::unique_ptr<FullItem> full;
    const std::shared_ptr<ItemSource> source = engine_.itemSource();
    if (!source) {
        page = BuildNoticePreview(
            "The item can be shown once the analysis has ended (or has been stopped).");
    } else {
        try {
            full = source->Load(nid, dataBid, PreviewRtfFile());
            if (!full) page = BuildNoticePreview("This item could not be read from the file.");
        } catch (const SourceChangedError&) {
            page = BuildNoticePreview(
                "The PST file has changed since it was analysed, so this item cannot be shown "
                "as it was found. Open the file again to see what it holds now.");
        } catch (const std::exception& error) {
            page = BuildNoticePreview(std::string("The PST file cannot be read: ") + error.what());
        }
    }
    if (full) {
        const ItemRecord& item = *full->item;
        if (mail) {
            page = BuildMessagePreview(item, RtfHtml(item.message.get()));
        } else {
            // Any other row shows its own item's fields, never a message of the mail view.
            std::vector<std::pair<std::string, std::string>> fields;
            for (int c = 0; c < list->columnCount(); ++c) {
                const QTableWidgetItem* header = list->horizontalHeaderItem(c);
                fields.emplace_back(header ? header->text().toStdString() : std::string(),
                                    cell(c).toStdString());
            }
            page = BuildFieldsPreview(fields, item.message ? item.message->body : std::string());
        }
    }
    const auto file = WritePreviewPage(CacheFolder(), page);
    if (file) Navigate(PathText(*file));
}

// --- Buttons ---

void RepairRecover::Pause() {
    if (ui_->pauseButton->text().compare(QStringLiteral("Pause"), Qt::CaseInsensitive) == 0) {
        ui_->pauseButton->setText(QStringLiteral("Resume"));
        engine_.Pause();
    } else {
        ui_->pauseButton->setText(QStringLiteral("Pause"));
        engine_.Resume();
    }
}

void RepairRecover::Stop() {
    if (!prompts_->Ask(this, Qs(kStopQuestion))) return;
    // The worker shows "Abort.html" and hides Save and the bar on its way out.
    engine_.Stop();
}

void RepairRecover::StopWorker() {
    if (fillCancel_) fillCancel_->store(true);
    engine_.Stop();
}

void RepairRecover::EndProgram(int code) {
    App().screenActive = false;
    if (hooks_.endProgram) {
        hooks_.endProgram(code);
    } else {
        QCoreApplication::exit(code);
    }
}

void RepairRecover::Back() {
    AppendLogLine(LogKind::Activity, "Step2:");
    AppendLogLine(LogKind::Activity, "Select E-mails Folder to Save");
    if (!prompts_->Ask(this, QStringLiteral("Do you want to Go Back ?"))) return;
    // No worker may go on appending to lists that a new analysis empties.
    StopWorker();
    if (!hooks_.backToFirstScreen) {
        EndProgram(0);
        return;
    }
    hide();
    hooks_.backToFirstScreen();
}

void RepairRecover::HiddenBack() {
    App().modeName = "Search and Recover";
    StopWorker();
    App().screenActive = false;
    done(QDialog::Rejected);
    EndProgram(0);
}

void RepairRecover::Exit() {
    AskExit(true);
}

void RepairRecover::AskExit(bool fromButton) {
    if (App().dialogBusy.exchange(true)) return;
    ui_->backButton->setEnabled(false);
    ui_->exitButton->setEnabled(false);
    const bool yes = prompts_->Ask(this, QStringLiteral("Do you want to exit ?"));
    if (yes) {
        StopWorker();
        App().dialogBusy = false;
        EndProgram(0);
        return;
    }
    ui_->backButton->setEnabled(true);
    ui_->exitButton->setEnabled(true);
    App().dialogBusy = false;
    if (fromButton) {
        ui_->exitButton->setFocus();
        focusStep_ = 7;
        return;
    }
    QWidget* const byStep[] = {ui_->sourceBrowse, ui_->destinationBrowse, ui_->backButton,
                               ui_->saveButton,   ui_->viewReportButton,  ui_->helpButton,
                               ui_->exitButton};
    if (focusStep_ >= 0 && focusStep_ < 7) byStep[focusStep_]->setFocus();
}

void RepairRecover::closeEvent(QCloseEvent* event) {
    event->ignore();
    AskExit(false);
}

void RepairRecover::ViewReport() {
    const QString report = QString::fromStdString(ReadSetting(kReportFileValue));
    if (!report.isEmpty()) {
        ReportViewer viewer(report, this);
        viewer.exec();
    }
    ui_->viewReportButton->setFocus();
    focusStep_ = 5;
}

void RepairRecover::SourceSelection() {
    QString path;
    const QString chosen = QString::fromStdString(App().chosenPstPath);
    if (!chosen.isEmpty() && QFileInfo::exists(chosen)) {
        ui_->sourceBrowse->hide();
        path = chosen;
    } else {
        ui_->sourceBrowse->setEnabled(true);
        const auto picked = prompts_->PickPstFile(this);
        if (!picked) return;
        path = *picked;
    }
    ui_->sourceField->setText(QString::fromStdString(ShownPstPath(path.toStdString())));
    if (!path.contains('.')) {
        ui_->backButton->setEnabled(false);
        prompts_->Inform(this, QStringLiteral("Invalid PST file path"));
        ui_->backButton->setEnabled(true);
        return;
    }
    destination_ = DefaultDestination(path);
    ui_->destinationField->setText(destination_);
}

void RepairRecover::DestinationSelection() {
    const auto picked = prompts_->PickDestination(this, destination_);
    if (!picked) return;
    if (picked->isEmpty()) {
        prompts_->Inform(this, QStringLiteral("Please select the valid path"));
        return;
    }
    destination_ = picked->endsWith('/') ? *picked : *picked + '/';
    ui_->destinationField->setText(destination_);
}

// --- Keyboard ---

bool RepairRecover::InPreview(QObject* object) const {
    for (QObject* o = object; o; o = o->parent()) {
        if (o == ui_->preview) return true;
    }
    return false;
}

bool RepairRecover::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::ContextMenu &&
        type != QEvent::MouseButtonPress && type != QEvent::MouseButtonDblClick) {
        return QDialog::eventFilter(watched, event);
    }
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != this) return QDialog::eventFilter(watched, event);
    if (type == QEvent::ContextMenu) return InPreview(watched);
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
        // The preview shows no context menu.
        auto* mouse = static_cast<QMouseEvent*>(event);
        return InPreview(watched) &&
               (mouse->button() == Qt::RightButton || type == QEvent::MouseButtonDblClick);
    }
    QKeyEvent* key = KeyToHandle(event, lastKey_);
    return key != nullptr && HandleKey(watched, key);
}

bool RepairRecover::HandleKey(QObject* watched, QKeyEvent* key) {
    const auto modifiers = key->modifiers();
    // Ctrl+A and Ctrl+C belong to the focused control: the preview selects and copies.
    if ((modifiers & Qt::ControlModifier) && (key->key() == Qt::Key_A || key->key() == Qt::Key_C)) {
        if (!InPreview(watched)) return false;
        ui_->preview->page()->triggerAction(key->key() == Qt::Key_A ? QWebEnginePage::SelectAll
                                                                    : QWebEnginePage::Copy);
        return true;
    }
    switch (key->key()) {
        case Qt::Key_Tab:
            if (modifiers & Qt::ShiftModifier) return false;
            focusStep_ = NextFocusStep(focusStep_, ui_->viewReportButton->isEnabled());
            return false;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            switch (focusStep_) {
                case 1:
                    DestinationSelection();
                    return true;
                case 2:
                case 4:
                    return false;
                case 3:
                    HiddenBack();
                    return true;
                case 5:
                    ViewReport();
                    return true;
                case 6:
                    emit helpRequested();
                    return true;
                case 7:
                    Exit();
                    return true;
                default:  // 0 or less
                    SourceSelection();
                    return true;
            }
        case Qt::Key_F1:
            emit helpRequested();
            return true;
        default:
            // Escape and the arrows go to the focused control; Escape closes nothing.
            return false;
    }
}

}  // namespace kestrel

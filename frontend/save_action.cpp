#include "frontend/save_action.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidgetItemIterator>
#include <thread>

#include "frontend/folder_tree.h"
#include "frontend/repair_recover.h"
#include "frontend/screen_prompts.h"
#include "platform/activity_log.h"
#include "platform/settings.h"
#include "ui_repair_recover.h"

namespace kestrel {

namespace {

QString Qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

SaveAction::SaveAction(RepairRecover& screen, ScreenPrompts& prompts, QString firstDestination)
    : QObject(&screen),
      screen_(screen),
      prompts_(prompts),
      firstDestination_(std::move(firstDestination)) {
    connect(&screen_, &RepairRecover::saveRequested, this, &SaveAction::Run);
}

SaveAction::~SaveAction() = default;

std::vector<uint32_t> SaveAction::CheckedFolders() const {
    std::vector<uint32_t> nids;
    for (QTreeWidgetItemIterator it(screen_.ui().folderTree); *it; ++it) {
        if ((*it)->checkState(0) == Qt::Checked)
            nids.push_back((*it)->data(0, PstFolderTree::kNidRole).toUInt());
    }
    return nids;
}

ExportSummary SaveAction::DefaultWriter(const ExportOptions& options, RunControl& control) {
    ExportSummary summary;
    const std::shared_ptr<ItemSource> source = screen_.engine().itemSource();
    if (!source) {
        summary.outcome = ExportOutcome::Failed;
        summary.failure = "the analysis has not ended, or the file could not be read";
        return summary;
    }
    screen_.engine().ReadResult([&](const AnalysisResult& result) {
        summary = RunExport(result, *source, options, control);
    });
    return summary;
}

void SaveAction::Run() {
    const QString destination =
        firstDestination_.isEmpty() ? screen_.destinationFolder() : firstDestination_;
    const std::optional<SaveChoice> choice = prompts_.ChooseSave(&screen_, destination);
    if (!choice) return;

    ExportOptions options;
    options.destination = choice->destination.toStdString();
    options.format = choice->format;
    options.folderNids = CheckedFolders();
    options.recordReport = true;
    AppendLogLine(LogKind::Recovery, "Saving started: " + options.destination);

    auto writer = hooks_.writer ? hooks_.writer : [this](const ExportOptions& o, RunControl& c) {
        return DefaultWriter(o, c);
    };
    RunControl control;
    ExportSummary summary;
    std::thread thread;
    // Stop waits for the writer, so it is gone before the status screen closes.
    auto stopWriter = [&control, &thread] {
        control.RequestStop();
        if (thread.joinable()) thread.join();
    };
    ListPSTFile status(hooks_.reader ? hooks_.reader : ReadSavingValues, stopWriter, &prompts_,
                       hooks_.intervals, &screen_);
    bool viewLog = false, acknowledged = false;
    connect(&status, &ListPSTFile::completionAcknowledged, this, [&](bool ticked) {
        acknowledged = true;
        viewLog = ticked;
    });
    QPointer<ListPSTFile> statusPointer(&status);
    thread = std::thread([&, statusPointer] {
        summary = writer(options, control);
        const bool completed =
            summary.outcome == ExportOutcome::Completed && summary.existing.empty();
        // The writer's end is the status screen's close request.
        QMetaObject::invokeMethod(
            statusPointer.data(),
            [statusPointer, completed] {
                if (statusPointer) statusPointer->WriterEnded(completed);
            },
            Qt::QueuedConnection);
    });
    emit statusShown(&status);
    status.exec();
    if (thread.joinable()) thread.join();
    summary_ = summary;
    Finish(summary, status.stoppedByUser());
    if (acknowledged) {
        if (viewLog)
            prompts_.ShowText(&screen_,
                              QString::fromStdString(LogFilePath(LogKind::Activity).string()));
        EndProgram(0);
    }
}

void SaveAction::Finish(const ExportSummary& summary, bool stoppedByUser) {
    AppendLogLine(LogKind::Recovery,
                  "Saving ended: " + std::string(OutcomeName(summary.outcome)) +
                      (summary.failure.empty() ? std::string() : ": " + summary.failure));
    if (!summary.reportPath.empty()) screen_.ui().viewReportButton->setEnabled(true);
    if (stoppedByUser) {
        screen_.ui().saveButton->hide();
    } else if (summary.outcome != ExportOutcome::Completed || !summary.existing.empty()) {
        QString text;
        if (summary.outcome == ExportOutcome::Completed) {
            text = QStringLiteral(
                       "%1 file(s) already existed in the destination and were left "
                       "as they were. Choose an empty folder to save everything.")
                       .arg(summary.existing.size());
        } else {
            text = QStringLiteral("The mail could not be saved: %1")
                       .arg(summary.failure.empty() ? Qs(OutcomeName(summary.outcome))
                                                    : QString::fromStdString(summary.failure));
        }
        if (!summary.reportPath.empty())
            text += QStringLiteral("\n\nThe report lists what was written: %1")
                        .arg(QString::fromStdString(summary.reportPath));
        prompts_.Fail(&screen_, Qs(kMessageCaption), text);
    }
    emit saveEnded(static_cast<int>(summary.outcome));
}

void SaveAction::EndProgram(int code) {
    if (hooks_.endProgram) {
        hooks_.endProgram(code);
    } else {
        QCoreApplication::exit(code);
    }
}

}  // namespace kestrel

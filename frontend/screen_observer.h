#pragma once
// The engine's observer for the recovery screen: every call of the worker thread becomes
// a queued signal, so the screen's widgets change only on the user-interface thread.
#include <QObject>
#include <QString>
#include <cstdint>

#include "engine/analysis_observer.h"

namespace kestrel {

class ScreenObserver : public QObject, public AnalysisObserver {
    Q_OBJECT
  public:
    explicit ScreenObserver(QObject* parent = nullptr);

    void FolderAdded(const std::string& path, const std::string& containerClass, uint32_t folderNid,
                     bool mail) override;
    void CounterChanged(std::string_view counter, uint64_t value) override;
    void ProgressRange(int64_t low, int64_t high) override;
    void ProgressPosition(int64_t position) override;
    void ShowPage(std::string_view page) override;
    void ShowMessage(std::string_view text) override;
    void SaveEnabled(bool enabled) override;
    void SaveShown(bool shown) override;
    void PauseStopEnabled(bool enabled) override;
    void ProgressBarHidden() override;
    void Finished(AnalysisStatus status) override;

  signals:
    void folderAdded(QString path, QString containerClass, uint32_t folderNid, bool mail);
    void counterChanged(QString counter, qulonglong value);
    void progressRange(qlonglong low, qlonglong high);
    void progressPosition(qlonglong position);
    void pageShown(QString page);
    void messageShown(QString text);
    void saveEnabled(bool enabled);
    void saveShown(bool shown);
    void pauseStopEnabled(bool enabled);
    void progressBarHidden();
    void finished(int status);
};

}  // namespace kestrel

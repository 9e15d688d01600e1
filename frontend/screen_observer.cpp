#include "frontend/screen_observer.h"

namespace kestrel {

namespace {

QString Utf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

ScreenObserver::ScreenObserver(QObject* parent) : QObject(parent) {}

void ScreenObserver::FolderAdded(const std::string& path, const std::string& containerClass,
                                 uint32_t folderNid, bool mail) {
    emit folderAdded(Utf8(path), Utf8(containerClass), folderNid, mail);
}

void ScreenObserver::CounterChanged(std::string_view counter, uint64_t value) {
    emit counterChanged(Utf8(counter), value);
}

void ScreenObserver::ProgressRange(int64_t low, int64_t high) {
    emit progressRange(low, high);
}

void ScreenObserver::ProgressPosition(int64_t position) {
    emit progressPosition(position);
}

void ScreenObserver::ShowPage(std::string_view page) {
    emit pageShown(Utf8(page));
}

void ScreenObserver::ShowMessage(std::string_view text) {
    emit messageShown(Utf8(text));
}

void ScreenObserver::SaveEnabled(bool enabled) {
    emit saveEnabled(enabled);
}

void ScreenObserver::SaveShown(bool shown) {
    emit saveShown(shown);
}

void ScreenObserver::PauseStopEnabled(bool enabled) {
    emit pauseStopEnabled(enabled);
}

void ScreenObserver::ProgressBarHidden() {
    emit progressBarHidden();
}

void ScreenObserver::Finished(AnalysisStatus status) {
    emit finished(static_cast<int>(status));
}

}  // namespace kestrel

#include "frontend/app_state.h"

#include <QKeyEvent>
#include <QWidget>

namespace kestrel {

AppState& App() {
    static AppState state;
    return state;
}

QKeyEvent* KeyToHandle(QEvent* event, const QKeyEvent*& lastKey) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Shift) {
        App().shiftDown = event->type() == QEvent::KeyPress;
        return nullptr;
    }
    if (event->type() == QEvent::KeyRelease) {
        lastKey = nullptr;
        return nullptr;
    }
    if (key == lastKey) return nullptr;
    lastKey = key;
    return key;
}

QKeyEvent* ScreenKeyToHandle(const QWidget* screen, QObject* watched, QEvent* event,
                             const QKeyEvent*& lastKey) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return nullptr;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != screen) return nullptr;
    return KeyToHandle(event, lastKey);
}

int NextFocusStep(int step, bool viewReportEnabled) {
    ++step;
    if (step == 5 && !viewReportEnabled) ++step;
    return step > 7 ? 0 : step;
}

}  // namespace kestrel

#include "frontend/screen_icons.h"

#include <QDir>
#include <QStringList>

// The pictures are compiled into a static library: their registration must be named, or
// the linker leaves it out.
static void RegisterScreenIcons() {
    Q_INIT_RESOURCE(icons);
}

namespace kestrel {

namespace {

void EnsureIcons() {
    static const bool registered = [] {
        RegisterScreenIcons();
        return true;
    }();
    (void)registered;
}

// The one icon file of the resources whose name starts with prefix and the index.
QIcon Indexed(const QString& prefix, int index) {
    EnsureIcons();
    if (index < 0 || index > 14) return {};
    const QString start = QStringLiteral("%1-%2-").arg(prefix).arg(index, 2, 10, QChar('0'));
    const QStringList found = QDir(QStringLiteral(":/icons")).entryList({start + "*.svg"});
    if (found.isEmpty()) return {};
    return QIcon(QStringLiteral(":/icons/") + found.first());
}

}  // namespace

QIcon FolderIcon(int index) {
    static QIcon icons[15];
    if (index < 0 || index > 14) return {};
    if (icons[index].isNull()) icons[index] = Indexed(QStringLiteral("folder"), index);
    return icons[index];
}

QIcon ItemIcon(int index) {
    static QIcon icons[15];
    if (index < 0 || index > 14) return {};
    if (icons[index].isNull()) icons[index] = Indexed(QStringLiteral("item"), index);
    return icons[index];
}

QIcon WindowIcon() {
    EnsureIcons();
    return QIcon(QStringLiteral(":/icons/kestrel.svg"));
}

}  // namespace kestrel

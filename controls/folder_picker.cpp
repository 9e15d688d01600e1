#include "controls/folder_picker.h"

#include <QFileDialog>

namespace kestrel {

std::optional<QString> PickFolder(QWidget* owner, const QString& title, const QString& start) {
    QFileDialog dialog(owner, title, start);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.first();
}

}  // namespace kestrel

#pragma once
// The folder picker the screens open for a destination: a folder dialog with a title,
// answering the chosen folder or nothing on Cancel.
#include <QString>
#include <optional>

class QWidget;

namespace kestrel {

std::optional<QString> PickFolder(QWidget* owner, const QString& title, const QString& start);

}  // namespace kestrel

#pragma once
// The screen's questions, messages and file choosers behind one seam: the program asks
// the user, a test answers for them.
#include <QString>
#include <optional>

class QWidget;

namespace kestrel {

class ScreenPrompts {
  public:
    virtual ~ScreenPrompts() = default;
    // A Yes/No question with the question icon and the program's caption; true on Yes.
    virtual bool Ask(QWidget* owner, const QString& question);
    // A message with the information icon; details (when not empty) under "Show Details".
    virtual void Inform(QWidget* owner, const QString& text, const QString& details = {});
    // The open-file dialog for a source PST; nothing on Cancel.
    virtual std::optional<QString> PickPstFile(QWidget* owner);
    // The folder picker for the destination; nothing on Cancel.
    virtual std::optional<QString> PickDestination(QWidget* owner, const QString& start);
};

}  // namespace kestrel

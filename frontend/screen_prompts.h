#pragma once
// The screen's questions, messages and file choosers behind one seam: the program asks
// the user, a test answers for them.
#include <QString>
#include <optional>

#include "engine/export_run.h"

class QWidget;

namespace kestrel {

// What the save dialog asks: where, and in which form.
struct SaveChoice {
    QString destination;
    ExportFormat format = ExportFormat::Eml;
};

class ScreenPrompts {
  public:
    virtual ~ScreenPrompts() = default;
    // A Yes/No question with the question icon and the program's caption; true on Yes.
    virtual bool Ask(QWidget* owner, const QString& question);
    // A message with the information icon; details (when not empty) under "Show Details".
    virtual void Inform(QWidget* owner, const QString& text, const QString& details = {});
    // The open-file dialog for a source PST; nothing on Cancel.
    virtual std::optional<QString> PickPstFile(QWidget* owner);
    // The open-file dialog for a disk image; nothing on Cancel.
    virtual std::optional<QString> PickDiskImage(QWidget* owner);
    // The folder picker for the destination; nothing on Cancel.
    virtual std::optional<QString> PickDestination(QWidget* owner, const QString& start);
    // A Yes/No question with the question icon under caption; true on Yes.
    virtual bool AskAs(QWidget* owner, const QString& caption, const QString& question);
    // A message with the error icon under caption.
    virtual void Fail(QWidget* owner, const QString& caption, const QString& text);
    // A folder picker titled title; nothing on Cancel.
    virtual std::optional<QString> PickFolderTitled(QWidget* owner, const QString& title,
                                                    const QString& start);
    // The save dialog, opened on destination; nothing on Cancel.
    virtual std::optional<SaveChoice> ChooseSave(QWidget* owner, const QString& destination);
    // The read-only viewer on file, modal.
    virtual void ShowText(QWidget* owner, const QString& file);
    // The completion screen, modal; true when "View Log File" was ticked at its OK.
    virtual bool ConfirmSaved(QWidget* owner);
};

}  // namespace kestrel

#pragma once
// The save dialog: the destination folder and the form of the saved mail (a repaired PST
// file, EML files or one mbox per folder).
#include <QDialog>
#include <memory>

#include "frontend/screen_prompts.h"

namespace Ui {
class SaveDialog;
}

namespace kestrel {

class SaveDialog : public QDialog {
    Q_OBJECT
  public:
    // prompts opens the folder picker of Browse.
    SaveDialog(const QString& destination, ScreenPrompts* prompts, QWidget* parent = nullptr);
    ~SaveDialog() override;
    Ui::SaveDialog& ui() { return *ui_; }
    SaveChoice Choice() const;

  private:
    std::unique_ptr<Ui::SaveDialog> ui_;
    ScreenPrompts* prompts_;
};

}  // namespace kestrel

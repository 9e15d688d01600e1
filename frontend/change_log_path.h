#pragma once
// The Log menu's Change Path dialog: shows the "LogPath" setting and stores a new folder
// there when it exists; the activity and recovery logs then go to that folder.
#include <QDialog>
#include <memory>

namespace Ui {
class ChangeLogPath;
}

namespace kestrel {

class ScreenPrompts;

class ChangeLogPath : public QDialog {
    Q_OBJECT
  public:
    explicit ChangeLogPath(ScreenPrompts* prompts, QWidget* parent = nullptr);
    ~ChangeLogPath() override;
    Ui::ChangeLogPath& ui() { return *ui_; }

    void Browse();
    // Stores the field's folder when it exists, else says so; closes the dialog either way.
    void Apply();

  private:
    std::unique_ptr<Ui::ChangeLogPath> ui_;
    ScreenPrompts* prompts_;
};

}  // namespace kestrel

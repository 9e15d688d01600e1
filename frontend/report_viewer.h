#pragma once
// A read-only text viewer for the recovery report (and the activity log): the file's text
// as it is, in a small dialog of its own.
#include <QDialog>
#include <memory>

namespace Ui {
class ReportViewer;
}

namespace kestrel {

class ReportViewer : public QDialog {
    Q_OBJECT
  public:
    // Reads file (at most kMaxBytes of it) when the dialog is made.
    ReportViewer(const QString& file, QWidget* parent = nullptr);
    ~ReportViewer() override;

    QString Text() const;

    static constexpr qint64 kMaxBytes = 16 * 1024 * 1024;

  private:
    std::unique_ptr<Ui::ReportViewer> ui_;
};

}  // namespace kestrel

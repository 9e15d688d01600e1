#include "frontend/report_viewer.h"

#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPushButton>

#include "ui_report_viewer.h"

namespace kestrel {

ReportViewer::ReportViewer(const QString& file, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::ReportViewer>()) {
    ui_->setupUi(this);
    setWindowTitle(QFileInfo(file).fileName() + QStringLiteral(" - Kestrel"));
    ui_->text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(ui_->buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    QFile in(file);
    if (in.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = in.read(kMaxBytes);
        QString text = QString::fromUtf8(bytes);
        if (in.size() > kMaxBytes) text += QStringLiteral("\n[...]");
        ui_->text->setPlainText(text);
    } else {
        ui_->text->setPlainText(in.errorString());
    }
}

ReportViewer::~ReportViewer() = default;

QString ReportViewer::Text() const {
    return ui_->text->toPlainText();
}

}  // namespace kestrel

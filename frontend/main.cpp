// kestrel FILE.pst: opens the recovery screen on the file and analyses it.
#include <unistd.h>

#include <QApplication>
#include <QTextStream>
#include <cstdlib>

#include "frontend/app_state.h"
#include "frontend/repair_recover.h"
#include "frontend/screen_icons.h"

int main(int argc, char** argv) {
    // Chromium refuses to run as root inside its sandbox.
    if (::geteuid() == 0) ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    // The web view shares its GL context with the widgets; set before the application.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrel"));
    QApplication::setWindowIcon(kestrel::WindowIcon());
    const QStringList args = QApplication::arguments();
    if (args.size() != 2 || args[1].startsWith('-')) {
        QTextStream(stderr) << "usage: kestrel FILE.pst\n";
        return 2;
    }
    kestrel::App().sourcePstPath = args[1].toStdString();
    kestrel::RepairRecover screen(kestrel::App().sourcePstPath);
    screen.show();
    screen.Open();
    return QApplication::exec();
}

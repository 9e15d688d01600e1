// kestrel: the desktop program. Without an argument it opens the first screen; with a file
// it opens the recovery screen on that file and analyses it at once.
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QTextStream>
#include <cstdlib>
#include <filesystem>

#include "frontend/app_state.h"
#include "frontend/disk_selection.h"
#include "frontend/help_window.h"
#include "frontend/repair_recover.h"
#include "frontend/save_action.h"
#include "frontend/screen_icons.h"
#include "frontend/screen_prompts.h"
#include "platform/settings.h"

namespace {

// The data files every screen needs: the status pages and the manual.
bool DataFolderComplete(const std::filesystem::path& folder, std::string* missing) {
    for (const char* file : {"progress.html", "completed.html", "Abort.html", "help/index.html"}) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(folder / file, ec)) {
            *missing = (folder / file).string();
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Chromium refuses to run as root inside its sandbox.
    if (::geteuid() == 0) ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    // The web view shares its GL context with the widgets; set before the application.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrel"));
    QApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));
    QApplication::setWindowIcon(kestrel::WindowIcon());
    const QStringList args = QApplication::arguments();
    if (args.size() > 2 || (args.size() == 2 && args[1].startsWith('-'))) {
        QTextStream(stderr) << "usage: kestrel [FILE.pst]\n";
        return 2;
    }
    std::string missing;
    const std::filesystem::path data = kestrel::InstallFolder();
    if (!DataFolderComplete(data, &missing)) {
        const QString text =
            QStringLiteral(
                "Kestrel cannot start: its data folder is incomplete.\n\nMissing: %1"
                "\n\nReinstall the program, or set \"FilePath\" in %2 to the folder "
                "that holds its data files.")
                .arg(QString::fromStdString(missing),
                     QString::fromStdString(kestrel::SettingsFile().string()));
        QTextStream(stderr) << "kestrel: " << text << '\n';
        QMessageBox::critical(nullptr, QString::fromUtf8(kestrel::kMessageCaption.data()), text);
        return 1;
    }
    if (args.size() == 1) {
        kestrel::DiskSelection first;
        first.show();
        return QApplication::exec();
    }
    kestrel::ScreenPrompts prompts;
    kestrel::App().sourcePstPath = args[1].toStdString();
    kestrel::RepairRecover screen(kestrel::App().sourcePstPath, &prompts);
    new kestrel::SaveAction(screen, prompts);
    screen.hooks().backToFirstScreen = [] {
        auto* first = new kestrel::DiskSelection();
        first->setAttribute(Qt::WA_DeleteOnClose);
        first->show();
    };
    QObject::connect(&screen, &kestrel::RepairRecover::helpRequested, [] { kestrel::ShowHelp(); });
    screen.show();
    screen.Open();
    return QApplication::exec();
}

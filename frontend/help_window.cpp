#include "frontend/help_window.h"

#include <QFileInfo>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>

#include "frontend/screen_icons.h"
#include "platform/settings.h"

namespace kestrel {

namespace {

QPointer<QTextBrowser> helpWindow;

}  // namespace

QString HelpIndexPath() {
    return QString::fromStdString((InstallFolder() / "help" / "index.html").string());
}

bool ShowHelp() {
    if (helpWindow) {
        helpWindow->show();
        helpWindow->raise();
        helpWindow->activateWindow();
        return true;
    }
    const QString index = HelpIndexPath();
    if (!QFileInfo::exists(index)) return false;
    // A plain rich-text browser: the manual is our own local HTML and runs nothing.
    auto* browser = new QTextBrowser;
    browser->setAttribute(Qt::WA_DeleteOnClose);
    browser->setWindowTitle(QString::fromLatin1(kHelpTitle));
    browser->setWindowIcon(WindowIcon());
    browser->setOpenExternalLinks(false);
    browser->setOpenLinks(true);
    browser->setSearchPaths({QFileInfo(index).absolutePath()});
    browser->setSource(QUrl::fromLocalFile(index));
    browser->resize(760, 600);
    helpWindow = browser;
    browser->show();
    return true;
}

QWidget* OpenHelpWindow() {
    return helpWindow.data();
}

}  // namespace kestrel

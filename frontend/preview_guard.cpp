#include "frontend/preview_guard.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "engine/analysis_observer.h"
#include "items/preview_page.h"

namespace kestrel {

namespace {

QString Clean(const QString& folder) {
    return QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
}

QString Latin(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

PreviewGuard::PreviewGuard(const QString& dataFolder, const QString& cacheFolder, QObject* parent)
    : QWebEngineUrlRequestInterceptor(parent),
      dataFolder_(Clean(dataFolder)),
      cacheFolder_(Clean(cacheFolder)) {}

bool PreviewGuard::Allowed(const QUrl& url) const {
    if (url.scheme() == QLatin1String("about")) return true;
    if (!url.isLocalFile()) return false;
    const QString path = QDir::cleanPath(url.toLocalFile());
    const QString name = QFileInfo(path).fileName();
    const QString folder = QFileInfo(path).path();
    if (folder == cacheFolder_) {
        return name == Latin(kPreviewPageName) || name.startsWith(Latin(kPreviewImagePrefix));
    }
    if (folder == dataFolder_) {
        return name == Latin(kPageProgress) || name == Latin(kPageCompleted) ||
               name == Latin(kPageAbort);
    }
    // The status pages' pictures and style sheet.
    return folder == dataFolder_ + QStringLiteral("/pages");
}

void PreviewGuard::interceptRequest(QWebEngineUrlRequestInfo& info) {
    const QUrl url = info.requestUrl();
    const bool allowed = Allowed(url);
    {
        QMutexLocker lock(&mutex_);
        requested_.append(url.toString());
        if (!allowed) blocked_.append(url.toString());
    }
    if (!allowed) info.block(true);
}

QStringList PreviewGuard::Requested() const {
    QMutexLocker lock(&mutex_);
    return requested_;
}

QStringList PreviewGuard::Blocked() const {
    QMutexLocker lock(&mutex_);
    return blocked_;
}

}  // namespace kestrel

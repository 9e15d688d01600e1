#pragma once
// Every request of the preview passes here: only the data folder's status pages (and the
// pictures beside them) and the preview's own files in the cache folder load; everything
// else, remote images above all, is blocked. What was asked is kept for the tests.
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QWebEngineUrlRequestInterceptor>

namespace kestrel {

class PreviewGuard : public QWebEngineUrlRequestInterceptor {
    Q_OBJECT
  public:
    PreviewGuard(const QString& dataFolder, const QString& cacheFolder, QObject* parent = nullptr);

    void interceptRequest(QWebEngineUrlRequestInfo& info) override;
    // Whether url may load.
    bool Allowed(const QUrl& url) const;

    QStringList Requested() const;
    QStringList Blocked() const;

  private:
    QString dataFolder_;
    QString cacheFolder_;
    mutable QMutex mutex_;
    QStringList requested_;
    QStringList blocked_;
};

}  // namespace kestrel

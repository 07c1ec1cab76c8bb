#include "app/proxysetting.h"

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QUrl>

bool ProxySetting::apply(const QString &text)
{
    // Each clears what was set before; the clients copy what is left when they are made.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    if (text.isEmpty())
        return true;
    if (text == QLatin1String("system")) {
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::DefaultProxy));
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        return true;
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty() || url.port() <= 0
        || !url.path(QUrl::FullyDecoded).remove('/').isEmpty()) {
        error = tr("\"%1\" is neither \"system\" nor a proxy's URL such as http://host:3128").arg(url.toDisplayString(QUrl::RemoveUserInfo));
        return false;
    }
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port()),
                                                     url.userName(QUrl::FullyDecoded), url.password(QUrl::FullyDecoded)));
    return true;
}

#include "app/proxysetting.h"

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QStringList>
#include <QUrl>

namespace {

// The variables curl reads for each URL, as they stand, any user and password in them left out.
QString environmentProxies()
{
    QStringList set;
    for (const char *name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        const QString value = QString::fromLocal8Bit(qgetenv(name));
        if (value.isEmpty())
            continue;
        const QUrl url(value.contains("://") ? value : "http://" + value);
        const bool isList = QByteArray(name).toLower() == "no_proxy";
        set << QString("%1=%2").arg(QLatin1String(name), isList || !url.isValid() ? value : url.toString(QUrl::RemoveUserInfo));
    }
    return set.isEmpty() ? QStringLiteral("none set") : set.join(", ");
}

} // namespace

bool ProxySetting::apply(const QString &text)
{
    // Each clears what was set before; the clients copy what is left when they are made.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    described.clear();
    if (text.isEmpty())
        return true;
    if (text == QLatin1String("system")) {
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::DefaultProxy));
        QNetworkProxyFactory::setUseSystemConfiguration(true);
#ifdef Q_OS_WIN
        described = QStringLiteral("the system's internet settings, for each address");
#else
        described = "the environment's, for each address: " + environmentProxies();
#endif
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
    described = url.toString(QUrl::RemoveUserInfo) + (url.userName().isEmpty() ? QString() : QStringLiteral(", with a user name and password"));
    return true;
}

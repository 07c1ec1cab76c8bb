#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// The proxy a URL takes under the system's internet settings on Windows: the user's settings, and
// where they ask for it, auto-detection and the PAC file, as the system's own HTTP stack applies
// them. Elsewhere curl reads http_proxy, https_proxy and no_proxy itself, and this is not used.
class SystemProxy
{
public:
    // "host:port" for a proxy, empty for none; each scheme and host is resolved once a process,
    // since a PAC file can take seconds.
    static QByteArray forUrl(const QUrl &url);

    // From a list as the settings hold it ("host:port", or "http=host:port;https=host:port",
    // entries apart by ';' or white space) and a bypass list ("*.corp.example;10.*;<local>").
    static QByteArray fromLists(const QString &proxies, const QString &bypass, const QUrl &url);
};

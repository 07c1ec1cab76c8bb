#include "protocol/systemproxy.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringList>

#ifdef Q_OS_WIN
#include <windows.h>
#include <winhttp.h>
#endif

namespace {

QStringList entries(const QString &list)
{
    static const QRegularExpression apart("[;\\s]+");
    return list.split(apart, Qt::SkipEmptyParts);
}

bool bypassed(const QString &bypass, const QUrl &url)
{
    const QString host = url.host().toLower();
    for (const QString &entry : entries(bypass)) {
        // "<local>": a name without a dot, which only the local network resolves.
        if (entry.compare(QLatin1String("<local>"), Qt::CaseInsensitive) == 0) {
            if (!host.contains('.'))
                return true;
            continue;
        }
        const QString pattern = entry.toLower().remove(QRegularExpression("^[a-z]+://"));
        const QRegularExpression wildcard(QRegularExpression::wildcardToRegularExpression(pattern)); // anchored
        const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
        if (wildcard.match(host).hasMatch() || wildcard.match(host + ':' + QString::number(port)).hasMatch())
            return true;
    }
    return false;
}

#ifdef Q_OS_WIN
QString taken(LPWSTR text)
{
    const QString value = text ? QString::fromWCharArray(text) : QString();
    if (text)
        GlobalFree(text);
    return value;
}

// What WinHTTP's auto-detection or the PAC file says for the URL; false when neither is asked for
// or neither gives an answer, and the user's fixed settings then stand.
bool fromScript(const QUrl &url, bool autoDetect, const QString &scriptUrl, QByteArray *proxy)
{
    if (!autoDetect && scriptUrl.isEmpty())
        return false;
    HINTERNET session = WinHttpOpen(L"Trelvox updater", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        return false;
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    const std::wstring script = scriptUrl.toStdWString();
    options.dwFlags = (autoDetect ? WINHTTP_AUTOPROXY_AUTO_DETECT : 0) | (script.empty() ? 0 : WINHTTP_AUTOPROXY_CONFIG_URL);
    options.dwAutoDetectFlags = autoDetect ? WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A : 0;
    options.lpszAutoConfigUrl = script.empty() ? nullptr : script.c_str();
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    const std::wstring address = url.toString(QUrl::FullyEncoded).toStdWString();
    const bool answered = WinHttpGetProxyForUrl(session, address.c_str(), &options, &info);
    WinHttpCloseHandle(session);
    if (!answered)
        return false;
    const QString list = taken(info.lpszProxy);
    const QString bypass = taken(info.lpszProxyBypass);
    *proxy = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? SystemProxy::fromLists(list, bypass, url) : QByteArray();
    return true;
}
#endif

} // namespace

QByteArray SystemProxy::fromLists(const QString &proxies, const QString &bypass, const QUrl &url)
{
    if (bypassed(bypass, url))
        return QByteArray();
    const QString scheme = url.scheme().toLower();
    QString chosen;
    for (const QString &entry : entries(proxies)) {
        const int equals = entry.indexOf('=');
        if (equals < 0) { // for every scheme, unless one is named for this one
            if (chosen.isEmpty())
                chosen = entry;
        } else if (entry.left(equals).toLower() == scheme) {
            chosen = entry.mid(equals + 1);
            break;
        }
    }
    chosen.remove(QRegularExpression("^[A-Za-z]+://"));
    return chosen.toLatin1();
}

QByteArray SystemProxy::forUrl(const QUrl &url)
{
#ifdef Q_OS_WIN
    static QHash<QString, QByteArray> resolved;
    const QString key = url.scheme() + "://" + url.host() + ':' + QString::number(url.port());
    const auto known = resolved.constFind(key);
    if (known != resolved.constEnd())
        return *known;
    QByteArray proxy;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings = {};
    if (WinHttpGetIEProxyConfigForCurrentUser(&settings)) {
        const QString scriptUrl = taken(settings.lpszAutoConfigUrl);
        const QString list = taken(settings.lpszProxy);
        const QString bypass = taken(settings.lpszProxyBypass);
        if (!fromScript(url, settings.fAutoDetect, scriptUrl, &proxy))
            proxy = fromLists(list, bypass, url);
    }
    resolved.insert(key, proxy);
    return proxy;
#else
    Q_UNUSED(url);
    return QByteArray();
#endif
}

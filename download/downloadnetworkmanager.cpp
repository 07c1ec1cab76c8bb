#include "download/downloadnetworkmanager.h"

#include <QNetworkReply>

DownloadNetworkManager::DownloadNetworkManager(QObject *parent)
    : QNetworkAccessManager(parent)
{
}

DownloadNetworkManager::~DownloadNetworkManager() = default;

bool DownloadNetworkManager::startDownload(const QString &url, const QString &filePath)
{
    Q_UNUSED(url);
    Q_UNUSED(filePath);
    lastErrorCode = QNetworkReply::UnknownNetworkError;
    return true;
}

int DownloadNetworkManager::errorCode() const
{
    return lastErrorCode;
}

QString DownloadNetworkManager::errorString() const
{
    return lastErrorString;
}

void DownloadNetworkManager::readyRead()
{
}

void DownloadNetworkManager::replyFinished(QNetworkReply *reply)
{
    Q_UNUSED(reply);
}

void DownloadNetworkManager::onAuthenticationRequest(QNetworkReply *reply, QAuthenticator *authenticator)
{
    Q_UNUSED(reply);
    Q_UNUSED(authenticator);
}

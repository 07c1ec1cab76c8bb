#pragma once

#include <QNetworkAccessManager>
#include <QString>
#include <QUrl>

class QAuthenticator;
class QNetworkReply;

// Fetches one URL at a time into a file, appending the body as it arrives.
class DownloadNetworkManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    explicit DownloadNetworkManager(QObject *parent);
    ~DownloadNetworkManager() override;

    bool startDownload(const QString &url, const QString &filePath);
    int errorCode() const;
    QString errorString() const;

signals:
    void downloadProgress(qint64, qint64);
    void replyFinished();

protected slots:
    void readyRead();
    void replyFinished(QNetworkReply *reply);
    void onAuthenticationRequest(QNetworkReply *reply, QAuthenticator *authenticator);

private:
    int lastErrorCode = 0;
    QString lastErrorString;
    QUrl url;
    QString filePath;
    QNetworkReply *currentReply = nullptr;
};

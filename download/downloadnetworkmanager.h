#pragma once

#include <QString>
#include <QTimer>
#include <QUrl>

#include "download/contentcheck.h"
#include "download/downloadattempts.h"
#include "download/downloaderror.h"
#include "download/downloadfile.h"
#include "protocol/curlnetworkaccessmanager.h"

class QAuthenticator;
class QNetworkReply;

// Fetches one URL at a time into a file, appending the body as it arrives. When to try again and
// what to ask for are DownloadAttempts', the file DownloadFile's; this class carries the requests.
class DownloadNetworkManager : public CurlNetworkAccessManager
{
    Q_OBJECT

public:
    using Limits = DownloadLimits;

    explicit DownloadNetworkManager(QObject *parent);
    ~DownloadNetworkManager() override;

    // The body is held to check when it is active. With a handle (a C runtime descriptor, which
    // stays the caller's) the body goes into that open file from its start, never through the path.
    // False when nothing could be asked for (not an http or https URL); replyFinished() follows
    // either way.
    bool startDownload(const QString &url, const QString &filePath, const ContentCheck &check = ContentCheck(),
                       int handle = -1);
    int errorCode() const;
    QString errorString() const;

    // Ends the download in flight as failed; does nothing when none is running.
    void cancelDownload();
    // A running download is held to them at once.
    void setLimits(const Limits &limits);

signals:
    void downloadProgress(qint64, qint64);
    void replyFinished();
    // An attempt failed for a reason that may pass; the next begins in waitMs.
    void retrying(int waitMs, int nextAttempt, int maxAttempts, const QString &reason);

protected slots:
    void readyRead();
    void replyFinished(QNetworkReply *reply);
    void onAuthenticationRequest(QNetworkReply *reply, QAuthenticator *authenticator);

private:
    static QString bodyProblem(const QNetworkReply *reply);
    void sendRequest();
    void takeHeaders(QNetworkReply *reply);
    DownloadError outcomeOf(QNetworkReply *reply);
    void finish();
    // Records a failure found here and ends the attempt; nothing when error is none or one is recorded.
    void fail(const DownloadError &error);

    DownloadError error;
    QUrl url;
    QNetworkReply *currentReply = nullptr;
    DownloadFile file;
    DownloadAttempts attempts;
    qint64 responseOffset = 0; // where the current response's body goes in the file
    QTimer retryTimer;
    QTimer stallTimer;
    QTimer paceTimer;
    QTimer deadline; // the whole download at the slowest pace allowed
};

#pragma once

#include <QElapsedTimer>
#include <QFile>
#include "protocol/curlnetworkaccessmanager.h"
#include <QString>
#include <QTimer>
#include <QUrl>

#include "download/contentcheck.h"
#include "download/writeback.h"
#include "protocol/retrypolicy.h"

class QAuthenticator;
class QNetworkReply;

// Fetches one URL at a time into a file, appending the body as it arrives.
class DownloadNetworkManager : public CurlNetworkAccessManager
{
    Q_OBJECT

public:
    // Bounds on one download; reaching one fails it as a transport failure.
    struct Limits
    {
        int stallTimeoutMs = 60000; // nothing received for this long
        // Less than this pace over any whole window fails too: a byte now and then must not keep it
        // alive, and a file of known size gets no more time than it takes at this pace.
        int slowWindowMs = 60000;
        qint64 minBytesPerSecond = 8 * 1024;
        // Stops before the disk holding the file would have less than this left.
        qint64 minFreeDiskBytes = 64 * 1024 * 1024;
        // A transient failure (the connection lost, a stall, 408, 429, 5xx) is tried again, the
        // rest of a file asked for where the server can tell it is the same file; no new attempt
        // once retryBudgetMs have passed. An attempt that got further into the file than any
        // before, at the floor's pace, starts both counts again: a link that drops now and then
        // still brings the file whole.
        RetryPolicy retry;
        int retryBudgetMs = 180000;
    };

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
    bool isRestOfFile(const QNetworkReply *reply) const;
    void startOver();
    void finish();
    void fail(int code, const QString &text, bool transient = false);
    void failWrite();
    QString writeErrorString() const;
    bool openFile();
    bool roomFor(qint64 bytes);
    void checkPace();
    qint64 minBytesPerWindow() const;
    void startDeadline(qint64 size);

    int lastErrorCode = 0;
    QString lastErrorString;
    QUrl url;
    QString filePath;
    int fileHandle = -1;
    QNetworkReply *currentReply = nullptr;

    QFile file;
    qint64 bytesWritten = 0;
    WriteBack writeBack;
    bool failed = false; // a failure of our own is recorded and outranks the reply's outcome
    bool transient = false; // the failure recorded may pass: worth another attempt
    ContentCheck firstCheck; // as before the first byte, for a file started over
    QByteArray validator;    // the server's ETag or Last-Modified for the bytes written so far
    qint64 responseOffset = 0; // where the current response's body goes in the file
    int attempt = 0;       // since the last that got further into the file
    qint64 furthest = 0;   // bytes of the file held after the best attempt
    QElapsedTimer retryClock; // since that attempt
    QTimer retryTimer;
    QTimer stallTimer;
    QTimer paceTimer;
    QTimer deadline; // the whole download at the slowest pace allowed
    qint64 bytesThisWindow = 0;
    Limits limits;
    ContentCheck contentCheck;
};

#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPair>

#include <curl/curl.h>

// One HTTP or HTTPS request carried by libcurl, seen as the client's own replies are: the same
// error codes and texts, status, reason, headers and signals, so the callers do not know the
// difference. Redirects are not followed (the caller decides), only http and https are spoken, a
// body is never decoded, and what the reader has not taken holds the transfer back once it passes
// the read buffer size. Every signal is sent from the event loop, never from inside curl.
class CurlReply : public QNetworkReply
{
    Q_OBJECT

public:
    // body: what a POST sends; proxy: the manager's (no proxy, one named, or the system's);
    // connections: where the connection is taken from and kept, null for the process's.
    CurlReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request, const QByteArray &body,
              const QNetworkProxy &proxy, CURLSH *connections, QObject *parent);
    ~CurlReply() override;

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    friend class CurlMulti;
    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    static int onProgress(void *self, curl_off_t downTotal, curl_off_t downNow, curl_off_t upTotal, curl_off_t upNow);
    void transferDone(CURLcode result);
    void takeHead();
    void schedule();
    void deliver();
    void fail(NetworkError code, const QString &text);
    void end();
    qint64 unread() const { return unreadBytes; }

    CURL *easy = nullptr;
    curl_slist *headers = nullptr;
    QByteArray upload;
    bool running = false;
    bool paused = false;
    bool scheduled = false;
    bool headPending = false; // a head arrived that the reader was not told of yet
    bool doneSeen = false;    // the transfer ended; finished() follows the last delivery
    // As curl gave them, so that no growing copy of the body is ever made.
    QList<QByteArray> body;
    int firstRead = 0; // of body's first piece
    qint64 unreadBytes = 0;
    int status = 0;
    QByteArray reason;
    QList<QPair<QByteArray, QByteArray>> head;
    bool headComplete = false; // the blank line after the current answer's head arrived
    bool headTaken = false;
    qint64 received = 0;
    qint64 uploaded = 0;
    qint64 uploadTotal = 0;
    char errorText[CURL_ERROR_SIZE] = {};
};

#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <curl/curl.h>

class QSocketNotifier;
class CurlReply;

// The one libcurl multi handle of the process, driven by the Qt event loop: a notifier for each of
// curl's sockets and one timer, so transfers run inside whatever loop the GUI thread is in and no
// call blocks. Its connection cache outlives the transfers: the next request to the same server
// takes the same connection, and the files of one release share one HTTP/2 connection.
class CurlMulti : public QObject
{
    Q_OBJECT

public:
    static CurlMulti *instance();
    ~CurlMulti() override;

    bool add(CURL *easy);
    void remove(CURL *easy);
    // A handle for the next request, and back when it is done: a fresh one costs each request of a
    // release of small files its allocations and curl's receive buffer once more.
    CURL *takeEasy();
    void giveBack(CURL *easy);
    // While curl is at work, a reply with news is told once curl has returned, in the same turn of
    // the event loop; false at other times, when the reply must post its news itself.
    bool deliverLater(CurlReply *reply);

private:
    CurlMulti();
    static int onSocket(CURL *easy, curl_socket_t socket, int what, void *self, void *watch);
    static int onTimer(CURLM *multi, long timeoutMs, void *self);
    void act(curl_socket_t socket, int events);
    void takeDone();

    void watch(curl_socket_t socket, int what);

    CURLM *multi = nullptr;
    QTimer timer;
    bool working = false;
    QList<QPointer<CurlReply>> news;
    QList<CURL *> spare;
    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };
    QHash<curl_socket_t, Watch> watches; // by socket number, kept for the next socket of that number
};
